#include "console/ts_pump.h"

#include <QFile>
#include <QFileInfo>
#include <cstdlib>
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

constexpr std::uint32_t ReadTimeoutMs = 100;
constexpr std::uint32_t WriteTimeoutMs = 100;
constexpr std::int64_t FirstDataTimeoutMs = 5000;
// Two starts in one second get "_2", "_3", ...; past this many something
// else is wrong with the directory.
constexpr int MaxNumberedRecordings = 999;

bool nameTaken(const QString& name) {
    const QFileInfo info(name);
    return info.exists() || info.isSymLink();
}

}  // namespace

TsPump::TsPump(usb::ChannelLayer& channels, usb::Clock& clock, UdpOutput& udp, OperatorPanel& panel)
    : channels_(channels), clock_(clock), udp_(udp), panel_(panel) {}

TsPump::~TsPump() = default;

void TsPump::closeRecording() {
    RecordFile->close();
    RecordFile.reset();
}

// Stops a recording the way switching Record off would.
void TsPump::stopRecording() {
    closeRecording();
    RecordOn = false;
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
            // Unbuffered, so that a full disk shows at the write of its chunk.
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
    RecordOn = false;
    panel_.SetSwitchOn(Switch::RecordOnOff, false);
}

void TsPump::writeRecording() {
    const qint64 before = RecordFile->pos();
    const qint64 written = RecordFile->write(
        reinterpret_cast<const char*>(channels_.FT_In_Buffer_B.data()), usb::TsChunkSize);
    if (written == static_cast<qint64>(usb::TsChunkSize)) return;
    // A recording with a hole in it is worse than a recording that ends; a
    // torn last chunk is taken back so the file stays whole packets.
    if (written > 0) RecordFile->resize(before);
    panel_.AppendLog(QStringLiteral("Error writing recording '") + RecordName + QStringLiteral("'."));
    stopRecording();
}

// After a failed purge or queue query: a recording in progress ends.
void TsPump::errorCleanUp() {
    if (!RecordFile) return;
    closeRecording();
    RecordOn = false;
    panel_.SetSwitchOn(Switch::RecordOnOff, false);
    panel_.SetSwitchOn(Switch::UDPOnOff, false);
    panel_.AppendLog(QStringLiteral("Recording stopped."));
}

void TsPump::RecordOnOffClick() { RecordOn = panel_.SwitchOn(Switch::RecordOnOff); }

void TsPump::GetTSBtnClick() {
    if (panel_.SwitchOn(Switch::GetTSBtn)) {
        StreamOn = true;
        panel_.SetEnabled(Control::UDPOnOff, true);
        panel_.SetEnabled(Control::RecordOnOff, true);
        panel_.SetEnabled(Control::BtnCloseB, false);
        ReceiveTS();
    } else {
        StreamOn = false;
        panel_.SetEnabled(Control::UDPOnOff, false);
        panel_.SetEnabled(Control::RecordOnOff, false);
        panel_.SetEnabled(Control::BtnCloseB, true);
    }
}

void TsPump::ReceiveTS() {
    // From the first run on, D2XX failures are left to the log: a modal
    // dialog in the middle of a stream would stall it.
    channels_.ShowFTErrors = false;

    std::int64_t total = 0;
    panel_.SetStatusText(QStringLiteral("Waiting for Data ...from device"));
    const std::uint32_t startTick = clock_.tickCount();

    channels_.Stop_USB_Device_InTask_B();
    if (channels_.Purge_USB_Device_Out_B() != usb::FT_OK) {
        panel_.AppendLog(QStringLiteral("Purge_USB_Device_Out failed, No Device"));
        errorCleanUp();
        panel_.SetStatusText(QString());
        return;
    }
    channels_.Restart_USB_Device_InTask_B();
    channels_.Set_USB_Device_TimeOuts_B(ReadTimeoutMs, WriteTimeoutMs);

    for (;;) {
        panel_.ProcessMessages();
        const usb::FT_STATUS status = channels_.Get_USB_Device_QueueStatus_B();
        if (status != usb::FT_OK) {
            panel_.AppendLog(QStringLiteral("Get_USB_Device_QueueStatus failed, No Device"));
            errorCleanUp();
            panel_.SetStatusText(QString());
            if (status == usb::FT_IO_ERROR) {
                // The device is gone: only leaving the program helps now.
                panel_.SetSwitchOn(Switch::GetTSBtn, false);
                panel_.SetEnabled(Control::GetTSBtn, false);
                panel_.SetEnabled(Control::BtnQuit, true);
            }
            return;
        }
        const auto delta = static_cast<std::int32_t>(clock_.tickCount() - startTick);
        const std::int64_t elapsedMs = std::llabs(static_cast<long long>(delta));
        if (channels_.FT_Q_Bytes > 0 || elapsedMs > FirstDataTimeoutMs) break;
    }

    std::uint32_t lastRead = 0;
    if (channels_.FT_Q_Bytes > 0) {
        do {
            panel_.ProcessMessages();

            if (!RecordOn && RecordFile) {
                closeRecording();
                panel_.AppendLog(QStringLiteral("Recording stopped."));
            } else if (RecordOn && !RecordFile) {
                startRecording();
            }

            lastRead = channels_.Read_USB_Device_Buffer_B(usb::TsChunkSize);
            total += lastRead;
            panel_.SetStatusText(QStringLiteral("Bytes Received = ") + QString::number(total));

            // Only whole chunks go out: a short read would break the packets.
            if (lastRead == usb::TsChunkSize) {
                if (RecordOn && RecordFile) writeRecording();
                if (panel_.SwitchOn(Switch::UDPOnOff) && udp_.ready())
                    udp_.send(channels_.FT_In_Buffer_B.data());
            }

            panel_.ProcessMessages();
        } while (lastRead != 0 && StreamOn);
    }

    panel_.AppendLog(QStringLiteral("Done ...I=") + QString::number(lastRead) +
                     QStringLiteral(" FT_Q_Bytes= ") + QString::number(channels_.FT_Q_Bytes));
    panel_.SetStatusText(QString());
    panel_.SetSwitchOn(Switch::UDPOnOff, false);
    panel_.SetEnabled(Control::UDPOnOff, false);
    panel_.SetEnabled(Control::RecordOnOff, false);
    panel_.SetSwitchOn(Switch::GetTSBtn, false);
    GetTSBtnClick();
    if (RecordFile) stopRecording();
}

}  // namespace console
