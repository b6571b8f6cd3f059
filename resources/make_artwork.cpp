// Draws the lamp pictures and the window icon once; the results are kept in
// resources/art. Build by hand when the artwork changes:
//   g++ -std=c++20 -fPIC make_artwork.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/make_artwork
//   QT_QPA_PLATFORM=offscreen /tmp/make_artwork art
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRadialGradient>

static QImage lamp(QColor bright, QColor dark) {
    QImage img(29, 28, QImage::Format_RGB32);
    img.fill(QColor(0xF0, 0xF0, 0xF0));  // the window's button face
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(QPointF(11, 10), 14);
    g.setColorAt(0.0, Qt::white);
    g.setColorAt(0.25, bright);
    g.setColorAt(1.0, dark);
    p.setBrush(g);
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    p.drawEllipse(QRectF(1.5, 1.0, 26, 26));
    return img;
}

static QImage icon(int size) {
    QImage img(size, size, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 48.0;
    p.scale(s, s);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x30, 0x30, 0x38));
    p.drawRoundedRect(QRectF(2, 5, 44, 31), 3, 3);      // bezel
    p.setBrush(QColor(0x1E, 0x5A, 0xC8));
    p.drawRect(QRectF(5, 8, 38, 25));                    // screen
    p.setBrush(QColor(0x30, 0x30, 0x38));
    p.drawRect(QRectF(20, 36, 8, 5));                    // neck
    p.drawRoundedRect(QRectF(12, 41, 24, 4), 1.5, 1.5);  // foot
    QFont f("DejaVu Sans");
    f.setPixelSize(13);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(5, 8, 38, 25), Qt::AlignCenter, "DVB");
    return img;
}

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? argv[1] : ".";
    lamp(QColor(0xFF, 0x30, 0x30), QColor(0x90, 0x00, 0x00)).save(dir + "/red.jpg", "JPG", 95);
    lamp(QColor(0x30, 0xFF, 0x30), QColor(0x00, 0x80, 0x00)).save(dir + "/green.jpg", "JPG", 95);
    for (int size : {16, 32, 48}) icon(size).save(dir + QString("/vesperbox-%1.png").arg(size));
    return 0;
}
