// The real D2XX implementations, by the name the command line uses.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "usb/d2xx.h"

namespace platform {

// "libftdi" (the default: libftdi1 over libusb) or "d2xx" (the vendor's
// libftd2xx.so, loaded at run time). nullptr, with the reason in *error, for
// an unknown name or a vendor library that cannot be loaded. note hears what
// the libftdi backend has to say beyond a call's status.
std::unique_ptr<usb::D2xxLibrary> makeRealBackend(const std::string& name, std::string* error,
                                                  std::function<void(const std::string&)> note = {});

}  // namespace platform
