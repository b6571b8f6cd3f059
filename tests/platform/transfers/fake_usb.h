// A USB stack under the libftdi backend's real channel code, for what no
// device can be made to do on demand: keep transfers after they were
// cancelled. It stands in for libftdi1 and libusb-1.0 (the test program links
// neither) and records what the channel did with its context and transfers.
#pragma once

#include <libusb.h>

#include <mutex>
#include <set>

namespace fake_usb {

struct Stack {
    std::mutex m;
    // Cancelled transfers come back on the next event handling unless held.
    bool holdCancelled = false;
    std::set<libusb_transfer*> allocated;
    std::set<libusb_transfer*> inFlight;
    std::set<libusb_transfer*> cancelled;
    // What a channel left to the stack for good; held here, as the real
    // stack would hold it, and not counted as a leak.
    std::set<libusb_transfer*> keptForGood;
    std::set<void*> contexts;  // allocated by ftdi_new, not yet freed
    int contextsOpen = 0;   // opened and not yet closed by ftdi_usb_close
    int contextsFreed = 0;
    int closedWithTransfersOut = 0;  // ftdi_usb_close while some were in flight
    int freedInFlight = 0;           // libusb_free_transfer on one still in flight
};

Stack& stack();

}  // namespace fake_usb
