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

class TsPump {
public:
    TsPump(usb::ChannelLayer& channels, usb::Clock& clock, UdpOutput& udp, OperatorPanel& panel);
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

    bool StreamOn = false;
    bool RecordOn = false;
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
    OperatorPanel& panel_;

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
    };
    Watch watch_;

    std::unique_ptr<std::uint8_t[]> recordBuffer_;
    std::size_t recordFill_ = 0;
    std::uint32_t firstGatheredTick_ = 0;
    std::uint32_t lastStatusTick_ = 0;
};

}  // namespace console
