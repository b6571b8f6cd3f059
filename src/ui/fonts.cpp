#include "ui/fonts.h"

#include <QStringList>

namespace ui {

namespace {

QFont make(const QStringList& families, int pixels, bool bold) {
    QFont f;
    f.setFamilies(families);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

const QStringList sansFamilies{"MS Sans Serif", "Liberation Sans", "DejaVu Sans"};

}  // namespace

QFont defaultFont() { return make(sansFamilies, 11, false); }
QFont labelsFont() { return make(sansFamilies, 16, true); }
QFont logFont() { return make({"Courier New", "Liberation Mono", "DejaVu Sans Mono"}, 11, true); }

}  // namespace ui
