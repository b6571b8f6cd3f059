// What --version prints: this program's version and source revision, and
// the versions of Qt and libftdi1 that it runs with.
#pragma once

#include <string>

namespace app {

std::string versionText();

}  // namespace app
