// The transport-stream pump: channel B to the recording file and the UDP
// player, chunk by chunk, inside the Get TS switch's click handler. It lets
// the message loop run twice per chunk, so the operator's clicks (the three
// switches above all) are handled nested inside it and it reads its flags
// afresh on every pass.
#include "console/ts_pump.h"

#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "ui/main_window.h"
#include "ui/zonzoff.h"
#include "usb/channel_layer.h"

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

}  // namespace console

namespace ui {

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

void closeRecording(TForm1& w) {
    w.RecordFile->close();
    w.RecordFile.reset();
}

// Stops a recording the way switching Record off would.
void stopRecording(TForm1& w) {
    closeRecording(w);
    w.RecordOn = false;
    w.RecordOnOff->setSwitchOn(false);
    w.AppendLog(QStringLiteral("Recording stopped."));
}

// Opens a new recording named after the local time, never over an existing
// file. On failure no file is open and the name that was tried is logged.
void startRecording(TForm1& w, usb::Clock& clock) {
    const QString dated = console::RecordingFileName(clock.localNow());
    QString name = dated;
    try {
        auto file = std::make_unique<QFile>();
        for (int n = 1; n <= MaxNumberedRecordings; ++n) {
            name = console::NumberedRecordingName(dated, n);
            if (nameTaken(name)) continue;
            file->setFileName(name);
            // Unbuffered, so that a full disk shows at the write of its chunk.
            if (file->open(QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered)) {
                w.RecordFile = std::move(file);
                w.RecordName = name;
                w.AppendLog(QStringLiteral("Started recording '") + name + QStringLiteral("'."));
                return;
            }
            // Taken between the check and the open: try the next number.
            if (!nameTaken(name)) break;
        }
    } catch (const std::exception&) {
    }
    w.RecordFile.reset();
    w.AppendLog(QStringLiteral("Error starting recording '") + name + QStringLiteral("'."));
    w.RecordOn = false;
    w.RecordOnOff->setSwitchOn(false);
}

void writeRecording(TForm1& w) {
    const qint64 before = w.RecordFile->pos();
    const qint64 written = w.RecordFile->write(
        reinterpret_cast<const char*>(w.Channels.FT_In_Buffer_B.data()), usb::TsChunkSize);
    if (written == static_cast<qint64>(usb::TsChunkSize)) return;
    // A recording with a hole in it is worse than a recording that ends; a
    // torn last chunk is taken back so the file stays whole packets.
    if (written > 0) w.RecordFile->resize(before);
    w.AppendLog(QStringLiteral("Error writing recording '") + w.RecordName + QStringLiteral("'."));
    stopRecording(w);
}

void sendChunk(TForm1& w) {
    std::memcpy(w.UdpPacket.get(), w.Channels.FT_In_Buffer_B.data(), usb::TsChunkSize);
    try {
        w.UdpClient->send(w.UdpPacket.get(), usb::TsChunkSize);
    } catch (...) {
        // A datagram the player misses is not worth stopping the stream for.
    }
}

// After a failed purge or queue query: a recording in progress ends.
void errorCleanUp(TForm1& w) {
    if (!w.RecordFile) return;
    closeRecording(w);
    w.RecordOn = false;
    w.RecordOnOff->setSwitchOn(false);
    w.UDPOnOff->setSwitchOn(false);
    w.AppendLog(QStringLiteral("Recording stopped."));
}

}  // namespace

void TForm1::RecordOnOffClick() { RecordOn = RecordOnOff->SwitchOn(); }

void TForm1::GetTSBtnClick() {
    if (GetTSBtn->SwitchOn()) {
        StreamOn = true;
        UDPOnOff->setEnabled(true);
        RecordOnOff->setEnabled(true);
        BtnCloseB->setEnabled(false);
        ReceiveTS();
    } else {
        StreamOn = false;
        UDPOnOff->setEnabled(false);
        RecordOnOff->setEnabled(false);
        BtnCloseB->setEnabled(true);
    }
}

void TForm1::ReceiveTS() {
    // From the first run on, D2XX failures are left to the log: a modal
    // dialog in the middle of a stream would stall it.
    Channels.ShowFTErrors = false;

    std::int64_t total = 0;
    SetStatusText(QStringLiteral("Waiting for Data ...from device"));
    const std::uint32_t startTick = services_.clock.tickCount();

    Channels.Stop_USB_Device_InTask_B();
    if (Channels.Purge_USB_Device_Out_B() != usb::FT_OK) {
        AppendLog(QStringLiteral("Purge_USB_Device_Out failed, No Device"));
        errorCleanUp(*this);
        SetStatusText(QString());
        return;
    }
    Channels.Restart_USB_Device_InTask_B();
    Channels.Set_USB_Device_TimeOuts_B(ReadTimeoutMs, WriteTimeoutMs);

    for (;;) {
        ProcessMessages();
        const usb::FT_STATUS status = Channels.Get_USB_Device_QueueStatus_B();
        if (status != usb::FT_OK) {
            AppendLog(QStringLiteral("Get_USB_Device_QueueStatus failed, No Device"));
            errorCleanUp(*this);
            SetStatusText(QString());
            if (status == usb::FT_IO_ERROR) {
                // The device is gone: only leaving the program helps now.
                GetTSBtn->setSwitchOn(false);
                GetTSBtn->setEnabled(false);
                BtnQuit->setEnabled(true);
            }
            return;
        }
        const auto delta = static_cast<std::int32_t>(services_.clock.tickCount() - startTick);
        const std::int64_t elapsedMs = std::llabs(static_cast<long long>(delta));
        if (Channels.FT_Q_Bytes > 0 || elapsedMs > FirstDataTimeoutMs) break;
    }

    std::uint32_t lastRead = 0;
    if (Channels.FT_Q_Bytes > 0) {
        do {
            ProcessMessages();

            if (!RecordOn && RecordFile) {
                closeRecording(*this);
                AppendLog(QStringLiteral("Recording stopped."));
            } else if (RecordOn && !RecordFile) {
                startRecording(*this, services_.clock);
            }

            lastRead = Channels.Read_USB_Device_Buffer_B(usb::TsChunkSize);
            total += lastRead;
            SetStatusText(QStringLiteral("Bytes Received = ") + QString::number(total));

            // Only whole chunks go out: a short read would break the packets.
            if (lastRead == usb::TsChunkSize) {
                if (RecordOn && RecordFile) writeRecording(*this);
                if (UDPOnOff->SwitchOn() && UdpClient && UdpPacket && UdpClient->connected())
                    sendChunk(*this);
            }

            ProcessMessages();
        } while (lastRead != 0 && StreamOn);
    }

    AppendLog(QStringLiteral("Done ...I=") + QString::number(lastRead) + QStringLiteral(" FT_Q_Bytes= ") +
              QString::number(Channels.FT_Q_Bytes));
    SetStatusText(QString());
    UDPOnOff->setSwitchOn(false);
    UDPOnOff->setEnabled(false);
    RecordOnOff->setEnabled(false);
    GetTSBtn->setSwitchOn(false);
    GetTSBtnClick();
    if (RecordFile) stopRecording(*this);
}

}  // namespace ui
