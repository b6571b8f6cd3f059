// One QApplication per process, for the tests of windows.
#pragma once

#include <QApplication>

#include "support/qt_support.h"

namespace testing_support {

inline QApplication& qtApp() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "vesperbox-tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: tearing Qt down in a static destructor crashes at exit.
    return *new QApplication(argc, argv);
}

}  // namespace testing_support
