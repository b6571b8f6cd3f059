// The window's fonts, given as character heights in pixels so that captions
// fit their controls whatever the screen's dpi. The designed families are not
// on Linux; metric-compatible ones follow them in each list.
#pragma once

#include <QFont>

namespace ui {

QFont defaultFont();  // "MS Sans Serif", 11 px
QFont labelsFont();   // "MS Sans Serif", 16 px bold
QFont logFont();      // "Courier New", 11 px bold

}  // namespace ui
