// The transport-stream pump: channel B to the recording file and the UDP
// player, chunk by chunk, inside the Get TS switch's click handler. It lets
// the message loop run twice per chunk, so the operator's clicks (the three
// switches above all) are handled nested inside it, and it reads its flags
// afresh on every pass.
//
// Reads come in whatever sizes the driver hands out; the pump joins them into
// whole 188-byte packets and sends and records only whole chunks of seven,
// each starting on a packet's sync byte. It counts the stream's health as it
// goes and says in the log when the source lost bytes.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <memory>

#include "console/console_state.h"
#include "console/operator_panel.h"
#include "console/packet_aligner.h"
#include "console/stream_health.h"
#include "console/udp_output.h"
#include "usb/channel_layer.h"
#include "usb/platform_services.h"

class QFile;

namespace console {

// "USB_dd_mm_yyyy_hhhmm_ss.TS" for the given local time, e.g.
// USB_08_12_2025_14h05_33.TS.
QString RecordingFileName(const usb::LocalDateTime& when);

// The name with "_n" before its extension ("_2", "_3", ...), as used when
// the plain name is already taken; n = 1 gives the name itself.
QString NumberedRecordingName(const QString& name, int n);

// How a pump run ended.
enum class StreamEnd {
    SwitchedOff,    // Get TS was switched off (by the operator, or a timed run)
    StreamStopped,  // a read brought nothing within the read time-out
    NoData,         // nothing came within 5000 ms of the start
    PurgeFailed,    // channel B could not be purged: the pump is stuck
    QueueFailed,    // channel B's queue could not be read: the pump is stuck
    ReadFailed,     // a read of channel B failed (the queue still answers)
    DeviceLost,     // channel B's queue failed with an I/O error: the device is gone
    ProgramEnding,  // the program is closing
};

// What a pump run moved and how it ended.
struct StreamReport {
    StreamEnd end = StreamEnd::SwitchedOff;
    // The D2XX call that ended the run, and its status, for the failures.
    std::string failedCall;
    usb::FT_STATUS status = usb::FT_OK;
    std::uint64_t bytesRead = 0;   // everything the reads brought
    std::uint64_t reads = 0;       // reads that brought bytes
    std::uint64_t shortReads = 0;  // of those, the ones below a whole chunk (joined, not lost)
    std::uint64_t packets = 0;     // whole packets found
    std::uint64_t continuityErrors = 0;
    std::uint64_t syncLosses = 0;
    std::uint64_t bytesSkipped = 0;  // dropped while looking for packet sync
    std::uint64_t chunks = 0;        // whole 1316-byte chunks made
    std::uint64_t datagramsSent = 0;
    std::uint64_t datagramsFailed = 0;
    std::int64_t elapsedUs = 0;  // from the first data to the end
    double megabitsPerSecond = 0;
    std::uint32_t lastRead = 0;    // the count the "Done ...I=" line shows
    std::uint32_t queueBytes = 0;  // and its FT_Q_Bytes
    bool streamed = false;         // data came, the streaming phase ran

    // The call and status as the error dialog would show them.
    std::string failureText() const;
};

// How the run ended, in words an operator reads ("the stream stopped after
// 64484 bytes: ...", "a read of channel B failed after ...: FT_Read B - ...").
QString StreamEndText(const StreamReport& report);
// The end as a word for reports: "switched-off", "stream-stopped", ...
QString StreamEndName(StreamEnd end);

class TsPump {
public:
    TsPump(usb::ChannelLayer& channels, usb::Clock& clock, UdpOutput& udp, ConsoleModel& model,
           OperatorPanel& panel);
    ~TsPump();

    // The Get TS switch was clicked: runs the pump when it is now on.
    void GetTSBtnClick();
    // The Record switch was clicked: the pump starts or stops the recording
    // at its next pass.
    void RecordOnOffClick();
    void ReceiveTS();

    // The program is ending (close box, Quit, Exit): a running pump ends at
    // its next look, closing an open recording whole. Nothing happens when
    // no pump runs.
    void RequestStop();
    bool Running() const { return depth_ > 0; }
    // The health of the last run that ended (or of the one running).
    const StreamHealth& Health() const { return *watch_.health; }
    // What the last run that ended moved, and how it ended.
    const StreamReport& LastReport() const { return lastReport_; }

    // Channel B's read and write time-outs while streaming, and how long
    // the stream may take to bring its first bytes.
    static constexpr std::uint32_t ReadTimeoutMs = 100;
    static constexpr std::uint32_t WriteTimeoutMs = 100;
    static constexpr std::uint32_t FirstDataTimeoutMs = 5000;
    // How often at most the byte count is redrawn while streaming.
    static constexpr std::uint32_t StatusIntervalMs = 50;
    // How often at most continuity errors are reported while recording.
    static constexpr std::uint32_t LossReportIntervalMs = 1000;
    // The recording is written in pieces of up to this many bytes (whole
    // chunks), and no later than this long after the first chunk of a piece.
    static constexpr std::size_t RecordBatchBytes = 100 * usb::TsChunkSize;
    static constexpr std::uint32_t RecordBatchMs = 250;

    bool StreamOn() const { return model_.state().streamOn; }
    bool RecordOn() const { return model_.state().recordOn; }
    std::unique_ptr<QFile> RecordFile;
    QString RecordName;

private:
    void closeRecording();
    void stopRecording();
    void startRecording();
    void writeRecording(const std::uint8_t* chunk);
    // Writes what was gathered; false when the write failed or came short
    // (the file is then cut back to whole chunks).
    bool flushRecording();
    void reportWriteError();
    void errorCleanUp();
    // The board is gone: Get TS off for good, Quit the way out.
    void deviceGone();
    void setStreamOn(bool on);
    void setRecordOn(bool on);
    void setPumpState(PumpState state);
    // A channel B call whose failure does not change the run's course is
    // still said, once, in the log.
    void noteFailure(const char* caption, usb::FT_STATUS status);
    // The figures of the run so far, from the stream's watch.
    void fillFigures(StreamReport& report) const;
    // Joins a read into packets and sends out every whole chunk.
    void takeBytes(const std::uint8_t* data, std::uint32_t size);
    void chunkComplete();
    void showTotal(std::int64_t total, bool now);
    // Continuity errors seen since the last report, when the recording is
    // on; at most once per LossReportIntervalMs unless forced.
    void reportLosses(bool force);
    std::int64_t elapsedUs() const;

    usb::ChannelLayer& channels_;
    usb::Clock& clock_;
    UdpOutput& udp_;
    ConsoleModel& model_;
    OperatorPanel& panel_;
    StreamReport lastReport_;

    // Pumps running, counting the nested ones.
    int depth_ = 0;
    bool stopRequested_ = false;

    // The stream between reads: the packet being completed and the chunk
    // being filled. A nested pump that keeps the outer one's stream keeps
    // these too.
    PacketAligner aligner_;
    std::array<std::uint8_t, usb::TsChunkSize> chunk_{};
    std::size_t chunkFill_ = 0;

    // The health of the stream of the current run, and what of it the log
    // has been told.
    struct Watch {
        std::unique_ptr<StreamHealth> health = std::make_unique<StreamHealth>();
        bool streaming = false;
        std::int64_t startCounter = 0;
        std::uint64_t reportedErrors = 0;
        std::uint32_t lastReportTick = 0;
        bool reportedOnce = false;
        // What the reads brought and the chunks became, for the run's report.
        std::uint64_t bytesRead = 0, reads = 0, shortReads = 0;
        std::uint64_t chunks = 0, datagramsSent = 0, datagramsFailed = 0;
    };
    Watch watch_;

    QString writeError_;  // why the last write of the recording failed
    std::unique_ptr<std::uint8_t[]> recordBuffer_;
    std::size_t recordFill_ = 0;
    std::uint32_t firstGatheredTick_ = 0;
    std::uint32_t lastStatusTick_ = 0;
};

}  // namespace console
