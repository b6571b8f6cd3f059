#include "console/ts_pump.h"

#include <QFile>
#include <QFileInfo>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <exception>

namespace console {

QString RecordingFileName(const usb::LocalDateTime& t) {
    return QString::asprintf("USB_%02d_%02d_%04d_%02dh%02d_%02d.TS", t.day, t.month, t.year, t.hour,
                             t.minute, t.second);
}

QString NumberedRecordingName(const QString& name, int n) {
    if (n <= 1) return name;
    const QString suffix = QStringLiteral("_") + QString::number(n);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? name + suffix : name.left(dot) + suffix + name.mid(dot);
}

namespace {

// Two starts in one second get "_2", "_3", ...; past this many something
// else is wrong with the directory.
constexpr int MaxNumberedRecordings = 999;
const QString NoDeviceLine = QStringLiteral("Get_USB_Device_QueueStatus failed, No Device");

bool nameTaken(const QString& name) {
    const QFileInfo info(name);
    return info.exists() || info.isSymLink();
}

}  // namespace

std::string StreamReport::failureText() const { return failedCall + usb::FT_StatusText(status); }

QString StreamEndText(const StreamReport& r) {
    const QString failure = QString::fromStdString(r.failureText());
    switch (r.end) {
    case StreamEnd::SwitchedOff: return QStringLiteral("Get TS switched off");
    case StreamEnd::StreamStopped:
        return QStringLiteral("the stream stopped after ") + QString::number(r.bytesRead) +
               QStringLiteral(" bytes: no data within ") + QString::number(TsPump::ReadTimeoutMs) +
               QStringLiteral(" ms");
    case StreamEnd::NoData:
        return QStringLiteral("no data on channel B within ") + QString::number(TsPump::FirstDataTimeoutMs) +
               QStringLiteral(" ms");
    case StreamEnd::PurgeFailed: return QStringLiteral("channel B could not be purged: ") + failure;
    case StreamEnd::QueueFailed: return QStringLiteral("channel B's queue could not be read: ") + failure;
    case StreamEnd::ReadFailed:
        return QStringLiteral("a read of channel B failed after ") + QString::number(r.bytesRead) +
               QStringLiteral(" bytes: ") + failure;
    case StreamEnd::DeviceLost: return QStringLiteral("the device was lost: ") + failure;
    case StreamEnd::ProgramEnding: return QStringLiteral("the program is closing");
    }
    return {};
}

QString StreamEndName(StreamEnd end) {
    switch (end) {
    case StreamEnd::SwitchedOff: return QStringLiteral("switched-off");
    case StreamEnd::StreamStopped: return QStringLiteral("stream-stopped");
    case StreamEnd::NoData: return QStringLiteral("no-data");
    case StreamEnd::PurgeFailed: return QStringLiteral("purge-failed");
    case StreamEnd::QueueFailed: return QStringLiteral("queue-failed");
    case StreamEnd::ReadFailed: return QStringLiteral("read-failed");
    case StreamEnd::DeviceLost: return QStringLiteral("device-lost");
    case StreamEnd::ProgramEnding: return QStringLiteral("program-ending");
    }
    return {};
}

TsPump::TsPump(usb::ChannelLayer& channels, usb::Clock& clock, UdpOutput& udp, ConsoleModel& model,
               OperatorPanel& panel)
    : channels_(channels), clock_(clock), udp_(udp), model_(model), panel_(panel) {}

TsPump::~TsPump() = default;

// Closes the file with everything gathered for it; a failed last write is
// reported like any other.
void TsPump::closeRecording() {
    const bool written = flushRecording();
    RecordFile->close();
    RecordFile.reset();
    if (!written) reportWriteError();
}

void TsPump::reportWriteError() {
    // The system's reason (a full disk, a device gone) is what the operator
    // needs to act on.
    const QString reason = writeError_.isEmpty() ? QString() : QStringLiteral(": ") + writeError_;
    panel_.AppendLog(QStringLiteral("Error writing recording '") + RecordName + QStringLiteral("'") + reason +
                     QStringLiteral("."));
}

void TsPump::setStreamOn(bool on) {
    model_.update([on](ConsoleState& s) { s.streamOn = on; });
}

void TsPump::setRecordOn(bool on) {
    model_.update([on](ConsoleState& s) { s.recordOn = on; });
}

void TsPump::setPumpState(PumpState state) {
    model_.update([state](ConsoleState& s) { s.pump = state; });
}

void TsPump::noteFailure(const char* caption, usb::FT_STATUS status) {
    if (status == usb::FT_OK) return;
    panel_.AppendLog(QStringLiteral("ERROR : ") + QString::fromLatin1(caption) +
                     QString::fromStdString(usb::FT_StatusText(status)));
}

// Stops a recording the way switching Record off would.
void TsPump::stopRecording() {
    closeRecording();
    setRecordOn(false);
    panel_.SetSwitchOn(Switch::RecordOnOff, false);
    panel_.AppendLog(QStringLiteral("Recording stopped."));
}

// Opens a new recording named after the local time, never over an existing
// file. On failure no file is open and the name that was tried is logged.
void TsPump::startRecording() {
    const QString dated = RecordingFileName(clock_.localNow());
    QString name = dated;
    try {
        auto file = std::make_unique<QFile>();
        for (int n = 1; n <= MaxNumberedRecordings; ++n) {
            name = NumberedRecordingName(dated, n);
            if (nameTaken(name)) continue;
            file->setFileName(name);
            // Unbuffered: the pump gathers the chunks itself, and a full
            // disk shows at the write that met it.
            if (file->open(QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered)) {
                RecordFile = std::move(file);
                RecordName = name;
                panel_.AppendLog(QStringLiteral("Started recording '") + name + QStringLiteral("'."));
                return;
            }
            // Taken between the check and the open: try the next number.
            if (!nameTaken(name)) break;
        }
    } catch (const std::exception&) {
    }
    RecordFile.reset();
    panel_.AppendLog(QStringLiteral("Error starting recording '") + name + QStringLiteral("'."));
    setRecordOn(false);
    panel_.SetSwitchOn(Switch::RecordOnOff, false);
}

// Chunks are gathered and written in large pieces: one small write per
// chunk costs more than the rest of the chunk's way together.
void TsPump::writeRecording(const std::uint8_t* chunk) {
    if (!recordBuffer_) recordBuffer_ = std::make_unique<std::uint8_t[]>(RecordBatchBytes);
    if (recordFill_ == 0) firstGatheredTick_ = clock_.tickCount();
    std::memcpy(recordBuffer_.get() + recordFill_, chunk, usb::TsChunkSize);
    recordFill_ += usb::TsChunkSize;
    if (recordFill_ + usb::TsChunkSize <= RecordBatchBytes &&
        clock_.tickCount() - firstGatheredTick_ < RecordBatchMs)
        return;
    if (flushRecording()) return;
    reportWriteError();
    stopRecording();
}

bool TsPump::flushRecording() {
    if (recordFill_ == 0) return true;
    const qint64 size = static_cast<qint64>(recordFill_);
    recordFill_ = 0;
    const qint64 before = RecordFile->pos();
    const char* data = reinterpret_cast<const char*>(recordBuffer_.get());
    qint64 written = RecordFile->write(data, size);
    // A short write is tried once more for the rest: either it goes, or the
    // second write meets the error itself and says which.
    if (written >= 0 && written < size) {
        const qint64 more = RecordFile->write(data + written, size - written);
        if (more > 0) written += more;
    }
    if (written == size) return true;
    writeError_ = RecordFile->error() != QFileDevice::NoError ? RecordFile->errorString()
                                                              : QStringLiteral("the disk took only part of it");
    // A recording with a hole in it is worse than a recording that ends; a
    // torn last chunk is taken back so the file stays whole chunks.
    if (written > 0) {
        const qint64 whole = written / usb::TsChunkSize * usb::TsChunkSize;
        RecordFile->resize(before + whole);
    }
    return false;
}

// After a failed purge or queue query: a recording in progress ends.
void TsPump::errorCleanUp() {
    if (!RecordFile) return;
    closeRecording();
    setRecordOn(false);
    panel_.SetSwitchOn(Switch::RecordOnOff, false);
    panel_.SetSwitchOn(Switch::UDPOnOff, false);
    panel_.AppendLog(QStringLiteral("Recording stopped."));
}

void TsPump::RecordOnOffClick() { setRecordOn(panel_.SwitchOn(Switch::RecordOnOff)); }

void TsPump::GetTSBtnClick() {
    // The switch enables the UDP and Record switches and holds Close TS fifo
    // while it is on (the window reads that from the state).
    if (panel_.SwitchOn(Switch::GetTSBtn)) {
        setStreamOn(true);
        ReceiveTS();
    } else {
        setStreamOn(false);
    }
}

void TsPump::RequestStop() {
    if (depth_ > 0) stopRequested_ = true;
}

std::int64_t TsPump::elapsedUs() const {
    const std::int64_t frequency = clock_.performanceFrequency();
    if (!watch_.streaming || frequency <= 0) return 0;
    const std::int64_t counts = clock_.performanceCounter() - watch_.startCounter;
    return counts / frequency * 1'000'000 + counts % frequency * 1'000'000 / frequency;
}

void TsPump::showTotal(std::int64_t total, bool now) {
    // Text layout and painting cost far more than moving a chunk; the
    // operator cannot read faster than this anyway.
    const std::uint32_t tick = clock_.tickCount();
    if (!now && tick - lastStatusTick_ < StatusIntervalMs) return;
    lastStatusTick_ = tick;
    panel_.SetStatusText(QStringLiteral("Bytes Received = ") + QString::number(total));
}

void TsPump::reportLosses(bool force) {
    const std::uint64_t errors = watch_.health->continuityErrors();
    if (errors <= watch_.reportedErrors) return;
    const std::uint32_t tick = clock_.tickCount();
    if (!force && watch_.reportedOnce && tick - watch_.lastReportTick < LossReportIntervalMs) return;
    const double seconds = static_cast<double>(elapsedUs()) / 1e6;
    panel_.AppendLog(QStringLiteral("Stream lost packets: %1 continuity errors at %2 s (%3 in this run), "
                                    "recording '%4'.")
                         .arg(errors - watch_.reportedErrors)
                         .arg(seconds, 0, 'f', 1)
                         .arg(errors)
                         .arg(RecordName));
    watch_.reportedErrors = errors;
    watch_.lastReportTick = tick;
    watch_.reportedOnce = true;
}

void TsPump::chunkComplete() {
    chunkFill_ = 0;
    ++watch_.chunks;
    if (RecordOn() && RecordFile) writeRecording(chunk_.data());
    if (panel_.SwitchOn(Switch::UDPOnOff) && udp_.ready()) {
        if (udp_.send(chunk_.data())) ++watch_.datagramsSent;
        else ++watch_.datagramsFailed;
    }
}

void TsPump::fillFigures(StreamReport& r) const {
    const StreamHealth& h = *watch_.health;
    r.bytesRead = watch_.bytesRead;
    r.reads = watch_.reads;
    r.shortReads = watch_.shortReads;
    r.packets = h.packets();
    r.continuityErrors = h.continuityErrors();
    r.syncLosses = h.syncLosses();
    r.bytesSkipped = aligner_.bytesSkipped();
    r.chunks = watch_.chunks;
    r.datagramsSent = watch_.datagramsSent;
    r.datagramsFailed = watch_.datagramsFailed;
    r.elapsedUs = elapsedUs();
    r.megabitsPerSecond = h.megabitsPerSecond();
}

void TsPump::takeBytes(const std::uint8_t* data, std::uint32_t size) {
    aligner_.push(
        data, size,
        [this](const std::uint8_t* packet) {
            watch_.health->feedPacket(packet);
            std::memcpy(chunk_.data() + chunkFill_, packet, PacketAligner::PacketSize);
            chunkFill_ += PacketAligner::PacketSize;
            if (chunkFill_ == chunk_.size()) chunkComplete();
        },
        [this](std::uint64_t skipped) {
            watch_.health->countSyncLoss();
            // What was gathered of the chunk stays: its packets are whole.
            panel_.AppendLog(QStringLiteral("Stream out of step: %1 bytes skipped to the next packet.")
                                 .arg(skipped));
        });
}

void TsPump::ReceiveTS() {
    // From the first run on, D2XX failures are left to the log: a modal
    // dialog in the middle of a stream would stall it.
    channels_.ShowFTErrors = false;

    // A pump started from inside another one (Get TS off and on before the
    // outer pump looked) while the outer one records must not purge: that
    // would cut a hole in the recording. It carries on with the same stream,
    // the packet and chunk in progress and the same health count.
    const bool nested = depth_ > 0;
    const bool keepStream = nested && RecordFile != nullptr;
    ++depth_;
    Watch outerWatch;
    if (!keepStream) std::swap(outerWatch, watch_);
    struct Leave {
        TsPump& pump;
        bool restore;
        Watch& outer;
        ~Leave() {
            if (restore) std::swap(pump.watch_, outer);
            if (--pump.depth_ == 0) pump.stopRequested_ = false;
        }
    } leave{*this, nested && !keepStream, outerWatch};

    StreamReport report;
    // A run that cannot go on: the pump is stuck with Get TS on, or the
    // device is gone.
    auto failRun = [&](StreamEnd end, const char* call, usb::FT_STATUS status, const QString& line) {
        report.end = end;
        report.failedCall = call;
        report.status = status;
        report.queueBytes = channels_.FT_Q_Bytes;
        panel_.AppendLog(line);
        errorCleanUp();
        panel_.SetStatusText(QString());
        fillFigures(report);
        lastReport_ = report;
    };

    std::int64_t total = 0;
    setPumpState(PumpState::Waiting);
    panel_.SetStatusText(QStringLiteral("Waiting for Data ...from device"));
    const std::uint32_t startTick = clock_.tickCount();

    if (!keepStream) {
        noteFailure("FT_StopInTask B", channels_.Stop_USB_Device_InTask_B());
        if (const usb::FT_STATUS purge = channels_.Purge_USB_Device_Out_B(); purge != usb::FT_OK) {
            failRun(StreamEnd::PurgeFailed, "FT_Purge RX B", purge,
                    QStringLiteral("Purge_USB_Device_Out failed, No Device"));
            setPumpState(PumpState::Stuck);
            return;
        }
        noteFailure("FT_RestartInTask B", channels_.Restart_USB_Device_InTask_B());
        // The purge cut the stream anywhere: what was kept of it is gone.
        aligner_.reset();
        chunkFill_ = 0;
    }
    noteFailure("FT_SetTimeouts B", channels_.Set_USB_Device_TimeOuts_B(ReadTimeoutMs, WriteTimeoutMs));

    for (;;) {
        panel_.ProcessMessages();
        if (stopRequested_) break;
        const usb::FT_STATUS status = channels_.Get_USB_Device_QueueStatus_B();
        if (status != usb::FT_OK) {
            const bool gone = status == usb::FT_IO_ERROR;
            failRun(gone ? StreamEnd::DeviceLost : StreamEnd::QueueFailed, "FT_GetQueueStatus B", status,
                    NoDeviceLine);
            if (gone) {
                panel_.SetSwitchOn(Switch::GetTSBtn, false);
                deviceGone();
            } else {
                setPumpState(PumpState::Stuck);
            }
            return;
        }
        const auto delta = static_cast<std::int32_t>(clock_.tickCount() - startTick);
        const std::int64_t elapsedMs = std::llabs(static_cast<long long>(delta));
        if (channels_.FT_Q_Bytes > 0 || elapsedMs > FirstDataTimeoutMs) break;
    }

    std::uint32_t lastRead = 0;
    usb::FT_STATUS lostStatus = usb::FT_OK;
    report.end = StreamEnd::NoData;
    if (channels_.FT_Q_Bytes > 0 && !stopRequested_) {
        report.streamed = true;
        setPumpState(PumpState::Streaming);
        if (!watch_.streaming) {
            watch_.streaming = true;
            watch_.startCounter = clock_.performanceCounter();
        }
        lastStatusTick_ = clock_.tickCount() - StatusIntervalMs;
        do {
            panel_.ProcessMessages();
            if (stopRequested_) break;

            if (!RecordOn() && RecordFile) {
                reportLosses(true);
                closeRecording();
                panel_.AppendLog(QStringLiteral("Recording stopped."));
            } else if (RecordOn() && !RecordFile) {
                startRecording();
                // Only losses from here on are the recording's.
                watch_.reportedErrors = watch_.health->continuityErrors();
            }

            lastRead = channels_.Read_USB_Device_Buffer_B(usb::TsChunkSize);
            total += lastRead;
            showTotal(total, false);
            if (lastRead > 0) {
                ++watch_.reads;
                watch_.bytesRead += lastRead;
                if (lastRead < usb::TsChunkSize) ++watch_.shortReads;
                takeBytes(channels_.FT_In_Buffer_B.data(), lastRead);
            }
            if (RecordFile) reportLosses(false);

            panel_.ProcessMessages();
        } while (lastRead != 0 && StreamOn() && !stopRequested_);
        // However the redrawing was spaced, the run ends on the exact count.
        showTotal(total, true);
        report.end = StreamEnd::SwitchedOff;
        if (lastRead == 0) {
            report.end = StreamEnd::StreamStopped;
            // A read that failed, rather than one that found nothing in
            // time, may be the board going away: ask the queue as the wait
            // does, so that a lost device is said as such instead of ending
            // like a stream that stopped.
            if (const usb::FT_STATUS readStatus = channels_.FT_IO_Status; readStatus != usb::FT_OK) {
                report.end = StreamEnd::ReadFailed;
                report.failedCall = "FT_Read B";
                report.status = readStatus;
                lostStatus = channels_.Get_USB_Device_QueueStatus_B();
                if (lostStatus != usb::FT_OK) {
                    report.end = lostStatus == usb::FT_IO_ERROR ? StreamEnd::DeviceLost : StreamEnd::QueueFailed;
                    report.failedCall = "FT_GetQueueStatus B";
                    report.status = lostStatus;
                    panel_.AppendLog(NoDeviceLine);
                } else {
                    noteFailure("FT_Read B", readStatus);
                }
            }
        }
    }
    if (stopRequested_) report.end = StreamEnd::ProgramEnding;

    // The recording is on disk before the run is reported done.
    if (RecordFile && !flushRecording()) {
        reportWriteError();
        stopRecording();
    }
    StreamHealth& health = *watch_.health;
    health.setElapsedUs(elapsedUs());
    if (RecordFile) reportLosses(true);
    report.lastRead = lastRead;
    report.queueBytes = channels_.FT_Q_Bytes;
    panel_.AppendLog(QStringLiteral("Done ...I=") + QString::number(lastRead) +
                     QStringLiteral(" FT_Q_Bytes= ") + QString::number(channels_.FT_Q_Bytes));
    if (!nested && aligner_.searching() && aligner_.skippedInEpisode() > 0)
        panel_.AppendLog(QStringLiteral("Stream out of step: %1 bytes skipped, no packet found before the end.")
                             .arg(aligner_.skippedInEpisode()));
    QString summary = health.summary();
    // Datagrams the player never got are part of the run's health.
    if (watch_.datagramsFailed > 0)
        summary += QStringLiteral(", %1 UDP sends failed").arg(watch_.datagramsFailed);
    panel_.AppendLog(summary);
    panel_.SetStatusText(QString());
    panel_.SetSwitchOn(Switch::UDPOnOff, false);
    panel_.SetSwitchOn(Switch::GetTSBtn, false);
    GetTSBtnClick();
    if (RecordFile) stopRecording();
    setPumpState(PumpState::Idle);
    if (lostStatus == usb::FT_IO_ERROR) deviceGone();
    fillFigures(report);
    lastReport_ = report;
}

void TsPump::deviceGone() {
    model_.update([](ConsoleState& s) {
        s.pump = PumpState::DeviceLost;
        s.quitEnabled = true;
    });
}

}  // namespace console
