// Naming of the transport-stream recordings.
#pragma once

#include <QString>
#include <functional>

#include "usb/platform_services.h"

namespace console {

// "USB_dd_mm_yyyy_hhhmm_ss.TS" for the given local time, e.g.
// USB_08_12_2025_14h05_33.TS.
QString RecordingFileName(const usb::LocalDateTime& when);

// The name with "_n" before its extension ("_2", "_3", ...), as used when
// the plain name is already taken; n = 1 gives the name itself.
QString NumberedRecordingName(const QString& name, int n);

}  // namespace console
