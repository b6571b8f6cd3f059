// The files the program writes as its results: reports, register dumps, the
// D2XX call trace. A result either arrives whole or the command fails saying
// why; an old good file is never swapped for a short one.
//
// Where the path leads decides how it is written:
// - a regular file, or nothing yet: into a new file beside it, synced and
//   renamed over the path at commit (a symbolic link keeps pointing at the
//   file it named, which is the one replaced);
// - a device, a FIFO or a socket: in place, as a shell redirection would;
//   a FIFO that no program reads is refused at once rather than waited on;
// - /dev/stdout, /dev/stderr, /dev/fd/N: the descriptor the program already
//   has, so the text joins what was written there before;
// - a directory or a block device (a disk): refused.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

class OutputFile {
public:
    // What becomes of a file the program did not commit, because it returned
    // early or a signal ended it: a report is dropped and the old file stays;
    // a trace is kept, as its last lines are what tells what went wrong.
    enum class Unfinished { Discard, Keep };

    // nullptr, with the system's reason in *reason ("No space left on
    // device", "no program reads the FIFO"), when the path cannot take a file.
    static std::unique_ptr<OutputFile> open(const std::string& path, std::string* reason,
                                            Unfinished unfinished = Unfinished::Discard);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False once any write failed, this one or an earlier one; nothing more
    // is written then.
    bool write(std::string_view bytes);
    // Syncs, closes and puts the file in place. False with the first error of
    // the whole file's life in *reason; the file at the path is then as it
    // was before (a device or FIFO has what it took).
    bool commit(std::string* reason);
    bool failed() const { return errno_ != 0; }
    const std::string& path() const { return path_; }

private:
    enum class Mode { Replace, InPlace, Descriptor };
    OutputFile(std::string path, Mode mode, int fd, bool pipe);
    void discard();

    std::string path_;
    Mode mode_;
    int fd_;
    bool pipe_;  // a reader may go away: writes must not raise SIGPIPE
    bool done_ = false;
    int errno_ = 0;
    std::string target_;  // Replace: the file the temporary one is renamed to
    std::string temp_;
    int slot_ = -1;  // in the table a signal handler settles
    Unfinished unfinished_ = Unfinished::Discard;
};

// Writes bytes as one file at path as above. False with the reason.
bool writeOutputFile(const std::string& path, std::string_view bytes, std::string* reason);

// Whether path will take an output file at the end of a run, without writing
// it, creating it or waiting on a FIFO (opening a FIFO that a program reads
// and closing it again would hand that program an early end of file).
bool checkOutputPath(const std::string& path, std::string* reason);

// For a signal handler that ends the program: drops the temporary files of
// outputs not yet committed, or puts those to be kept in place. Uses only
// async-signal-safe calls.
void settleOutputsOnSignal();

}  // namespace platform
