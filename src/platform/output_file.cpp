#include "platform/output_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Uncommitted temporary files, for a signal handler to settle. Plain arrays
// and a lock-free state, as nothing else may be touched from a handler.
struct PendingFile {
    enum : int { Free, Busy, Armed };
    std::atomic<int> state{Free};
    bool keep = false;
    char temp[PATH_MAX] = {};
    char target[PATH_MAX] = {};
};
PendingFile pending[16];

int arm(const std::string& temp, const std::string& target, bool keep) {
    if (temp.size() >= PATH_MAX || target.size() >= PATH_MAX) return -1;
    for (int i = 0; i < static_cast<int>(std::size(pending)); ++i) {
        int expected = PendingFile::Free;
        if (!pending[i].state.compare_exchange_strong(expected, PendingFile::Busy)) continue;
        std::memcpy(pending[i].temp, temp.c_str(), temp.size() + 1);
        std::memcpy(pending[i].target, target.c_str(), target.size() + 1);
        pending[i].keep = keep;
        pending[i].state.store(PendingFile::Armed);
        return i;
    }
    return -1;  // a signal then leaves this one temporary file behind
}

void disarm(int slot) {
    if (slot >= 0) pending[slot].state.store(PendingFile::Free);
}

std::string reasonOf(int error) { return std::strerror(error); }

// /dev/stdout and its kin: a descriptor the program already has.
bool descriptorPath(const std::string& path, int* fd) {
    if (path == "/dev/stdout") return *fd = STDOUT_FILENO, true;
    if (path == "/dev/stderr") return *fd = STDERR_FILENO, true;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::size_t n = std::strlen(prefix);
        if (path.compare(0, n, prefix) != 0 || path.size() == n || path.size() > n + 6) continue;
        int value = 0;
        for (std::size_t i = n; i < path.size(); ++i) {
            if (path[i] < '0' || path[i] > '9') return false;
            value = value * 10 + (path[i] - '0');
        }
        *fd = value;
        return true;
    }
    return false;
}

bool writableDescriptor(int fd, std::string* reason) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        *reason = reasonOf(errno);
        return false;
    }
    if ((flags & O_ACCMODE) == O_RDONLY) {
        *reason = "descriptor " + std::to_string(fd) + " is not open for writing";
        return false;
    }
    return true;
}

bool isPipe(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

// What stands at the path, symbolic links followed.
struct Found {
    bool exists = false;
    struct stat st {};
    std::string target;  // the regular file to replace (or create)
};

bool look(const std::string& path, Found* f, std::string* reason) {
    if (path.empty()) {
        *reason = reasonOf(ENOENT);
        return false;
    }
    if (::stat(path.c_str(), &f->st) == 0) {
        f->exists = true;
    } else if (errno != ENOENT) {
        *reason = reasonOf(errno);
        return false;
    }
    f->target = path;
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (!f->exists) {
            *reason = "a symbolic link to a file that does not exist";
            return false;
        }
        // The link stays; the file it names is the one replaced.
        char resolved[PATH_MAX];
        if (!::realpath(path.c_str(), resolved)) {
            *reason = reasonOf(errno);
            return false;
        }
        f->target = resolved;
    }
    if (f->exists && S_ISDIR(f->st.st_mode)) {
        *reason = reasonOf(EISDIR);
        return false;
    }
    if (f->exists && S_ISBLK(f->st.st_mode)) {
        *reason = "a block device: a disk is not a place for this file";
        return false;
    }
    return true;
}

// Opens a device, FIFO or socket where it stands, without waiting on it.
int openInPlace(const std::string& path, const struct stat& st, std::string* reason) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *reason = errno == ENXIO && S_ISFIFO(st.st_mode) ? "no program reads the FIFO" : reasonOf(errno);
        return -1;
    }
    // Writes wait for a slow reader as a shell redirection's would.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// A new file beside target, created with the rights a new file gets.
int createTemp(const std::string& target, std::string* temp, std::string* reason) {
    static std::atomic<unsigned> counter{0};
    constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto seed = static_cast<unsigned long long>(
                        std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (static_cast<unsigned long long>(::getpid()) << 32) ^ (counter++ * 0x9E3779B97F4A7C15ull);
        std::string suffix;
        for (int i = 0; i < 6; ++i, seed /= 36) suffix += digits[seed % 36];
        *temp = target + "." + suffix;
        const int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) break;
    }
    *reason = reasonOf(errno);
    return -1;
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

OutputFile::OutputFile(std::string path, Mode mode, int fd, bool pipe)
    : path_(std::move(path)), mode_(mode), fd_(fd), pipe_(pipe) {}

std::unique_ptr<OutputFile> OutputFile::open(const std::string& path, std::string* reason,
                                             Unfinished unfinished) {
    std::unique_ptr<OutputFile> file;
    int fd = -1;
    if (descriptorPath(path, &fd)) {
        if (!writableDescriptor(fd, reason)) return nullptr;
        file.reset(new OutputFile(path, Mode::Descriptor, fd, isPipe(fd)));
    } else {
        Found f;
        if (!look(path, &f, reason)) return nullptr;
        if (f.exists && !S_ISREG(f.st.st_mode)) {
            fd = openInPlace(path, f.st, reason);
            if (fd < 0) return nullptr;
            file.reset(new OutputFile(path, Mode::InPlace, fd, S_ISFIFO(f.st.st_mode) || S_ISSOCK(f.st.st_mode)));
        } else {
            std::string temp;
            fd = createTemp(f.target, &temp, reason);
            if (fd < 0) return nullptr;
            // A replaced file keeps its permissions.
            if (f.exists) ::fchmod(fd, f.st.st_mode & 07777);
            file.reset(new OutputFile(path, Mode::Replace, fd, false));
            file->target_ = f.target;
            file->temp_ = temp;
            file->slot_ = arm(temp, f.target, unfinished == Unfinished::Keep);
        }
    }
    file->unfinished_ = unfinished;
    return file;
}

OutputFile::~OutputFile() {
    if (done_) return;
    std::string ignored;
    if (unfinished_ == Unfinished::Keep) commit(&ignored);
    else discard();
}

bool OutputFile::write(std::string_view bytes) {
    if (errno_ || done_) return false;
    // A reader that went away is an error of this file, not the end of the
    // program: SIGPIPE is held back while writing and taken if it came.
    sigset_t pipeSignal, before, waiting;
    bool alreadyPending = false;
    if (pipe_) {
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        sigpending(&waiting);
        alreadyPending = sigismember(&waiting, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    }
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            errno_ = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (pipe_) {
        if (errno_ == EPIPE && !alreadyPending) {
            const timespec now{};
            sigtimedwait(&pipeSignal, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    return errno_ == 0;
}

bool OutputFile::commit(std::string* reason) {
    if (done_) {
        if (errno_) *reason = reasonOf(errno_);
        return errno_ == 0;
    }
    done_ = true;
    if (mode_ == Mode::Replace) {
        if (!errno_ && ::fsync(fd_) != 0) errno_ = errno;
        if (::close(fd_) != 0 && errno != EINTR && !errno_) errno_ = errno;
        if (!errno_ && ::rename(temp_.c_str(), target_.c_str()) != 0) errno_ = errno;
        if (errno_) ::unlink(temp_.c_str());
        disarm(slot_);
        if (!errno_) {
            // The rename itself is on disk once its directory is.
            const int dir = ::open(directoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir >= 0) {
                ::fsync(dir);
                ::close(dir);
            }
        }
    } else if (mode_ == Mode::InPlace) {
        // Devices and FIFOs keep nothing to sync.
        if (::close(fd_) != 0 && errno != EINTR && !errno_) errno_ = errno;
    }
    fd_ = -1;
    if (errno_) *reason = reasonOf(errno_);
    return errno_ == 0;
}

void OutputFile::discard() {
    done_ = true;
    if (mode_ == Mode::Descriptor) return;
    ::close(fd_);
    fd_ = -1;
    if (mode_ == Mode::Replace) {
        ::unlink(temp_.c_str());
        disarm(slot_);
    }
}

bool writeOutputFile(const std::string& path, std::string_view bytes, std::string* reason) {
    const auto file = OutputFile::open(path, reason);
    if (!file) return false;
    file->write(bytes);
    return file->commit(reason);
}

bool checkOutputPath(const std::string& path, std::string* reason) {
    int fd = -1;
    if (descriptorPath(path, &fd)) return writableDescriptor(fd, reason);
    Found f;
    if (!look(path, &f, reason)) return false;
    if (f.exists && S_ISFIFO(f.st.st_mode)) {
        if (::access(path.c_str(), W_OK) == 0) return true;
        *reason = reasonOf(errno);
        return false;
    }
    if (f.exists && !S_ISREG(f.st.st_mode)) {
        fd = openInPlace(path, f.st, reason);
        if (fd < 0) return false;
        ::close(fd);
        return true;
    }
    if (f.exists && ::access(f.target.c_str(), W_OK) != 0) {
        *reason = reasonOf(errno);
        return false;
    }
    std::string temp;
    fd = createTemp(f.target, &temp, reason);
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(temp.c_str());
    return true;
}

void settleOutputsOnSignal() {
    for (PendingFile& p : pending) {
        if (p.state.load() != PendingFile::Armed) continue;
        if (p.keep) ::rename(p.temp, p.target);
        else ::unlink(p.temp);
    }
}

}  // namespace platform
