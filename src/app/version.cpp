#include "app/version.h"

#include <QtGlobal>
#include <ftdi.h>

#include "vesper_version.h"

namespace app {

std::string versionText() {
    std::string text = "vesperbox " VESPER_VERSION_TEXT;
    // Empty when the source did not come from git.
    if (const std::string revision = VESPER_GIT_REVISION; !revision.empty())
        text += " (git " + revision + ")";
    // The libraries found at run time, which may be newer than the ones the
    // program was built with; a bug report needs the ones in use.
    text += "\nQt " + std::string(qVersion());
    if (std::string(qVersion()) != QT_VERSION_STR) text += " (built with " QT_VERSION_STR ")";
    const ftdi_version_info ftdi = ftdi_get_library_version();
    text += "\nlibftdi1 " + std::string(ftdi.version_str ? ftdi.version_str : "?");
    return text + "\n";
}

}  // namespace app
