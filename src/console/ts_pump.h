// The transport-stream pump: channel B to the recording file and the UDP
// player, chunk by chunk, inside the Get TS switch's click handler. It lets
// the message loop run twice per chunk, so the operator's clicks (the three
// switches above all) are handled nested inside it, and it reads its flags
// afresh on every pass.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "console/operator_panel.h"
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

    bool StreamOn = false;
    bool RecordOn = false;
    std::unique_ptr<QFile> RecordFile;
    QString RecordName;

private:
    void closeRecording();
    void stopRecording();
    void startRecording();
    void writeRecording();
    void errorCleanUp();

    usb::ChannelLayer& channels_;
    usb::Clock& clock_;
    UdpOutput& udp_;
    OperatorPanel& panel_;
};

}  // namespace console
