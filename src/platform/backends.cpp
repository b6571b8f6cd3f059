#include "platform/backends.h"

#include "platform/dynamic_d2xx.h"
#include "platform/ftdi_api.h"
#include "platform/libftdi_d2xx.h"

namespace platform {

std::unique_ptr<usb::D2xxLibrary> makeRealBackend(const std::string& name, std::string* error,
                                                  std::function<void(const std::string&)> note) {
    if (name == "libftdi") return std::make_unique<LibFtdiD2xx>(makeLibFtdiApi(), std::move(note));
    if (name == "d2xx") return DynamicD2xx::load(DynamicD2xx::kDefaultLibrary, error);
    if (error) *error = "unknown backend \"" + name + "\" (use libftdi or d2xx)";
    return nullptr;
}

}  // namespace platform
