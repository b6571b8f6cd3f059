// One QApplication for the whole test binary, made on first use so that test
// files need not agree on who owns it.
#pragma once

#include <QApplication>

inline void ensureQtApp() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_console";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}
