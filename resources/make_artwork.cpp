// Draws the lamp pictures and the window icon (three PNG sizes and an SVG)
// once; the results are kept in resources/art. Build by hand when the artwork
// changes:
//   g++ -std=c++20 -fPIC make_artwork.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/make_artwork
//   QT_QPA_PLATFORM=offscreen /tmp/make_artwork art
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRadialGradient>
#include <QTextStream>

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

// The window icon on a 48-unit grid, drawn at every pixel size and written as
// SVG from the same shapes, so that the sizes and the scalable icon agree.
struct Shape {
    QRectF rect;
    double radius;  // 0: square corners
    QColor colour;
};
static const QColor Frame(0x30, 0x30, 0x38);
static const Shape IconShapes[] = {
    {QRectF(2, 5, 44, 31), 3, Frame},                      // bezel
    {QRectF(5, 8, 38, 25), 0, QColor(0x1E, 0x5A, 0xC8)},  // screen
    {QRectF(20, 36, 8, 5), 0, Frame},                      // neck
    {QRectF(12, 41, 24, 4), 1.5, Frame},                   // foot
};
static const QRectF Screen(5, 8, 38, 25);
static const char* const Caption = "DVB";
static const int CaptionPixels = 13;

static QImage icon(int size) {
    QImage img(size, size, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 48.0;
    p.scale(s, s);
    p.setPen(Qt::NoPen);
    for (const Shape& shape : IconShapes) {
        p.setBrush(shape.colour);
        if (shape.radius > 0) p.drawRoundedRect(shape.rect, shape.radius, shape.radius);
        else p.drawRect(shape.rect);
    }
    QFont f("DejaVu Sans");
    f.setPixelSize(CaptionPixels);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(Screen, Qt::AlignCenter, Caption);
    return img;
}

static bool writeSvgIcon(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    QTextStream out(&file);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"48\" height=\"48\" viewBox=\"0 0 48 48\">\n";
    for (const Shape& shape : IconShapes) {
        out << "  <rect x=\"" << shape.rect.x() << "\" y=\"" << shape.rect.y() << "\" width=\""
            << shape.rect.width() << "\" height=\"" << shape.rect.height() << "\"";
        if (shape.radius > 0) out << " rx=\"" << shape.radius << "\"";
        out << " fill=\"" << shape.colour.name() << "\"/>\n";
    }
    // The baseline sits half the cap height (0.73 em in DejaVu Sans Bold)
    // below the screen's middle, as the painter's AlignCenter puts it.
    const QPointF c = Screen.center();
    out << "  <text x=\"" << c.x() << "\" y=\"" << c.y() + 0.73 * CaptionPixels / 2
        << "\" font-family=\"DejaVu Sans, sans-serif\" font-weight=\"bold\" font-size=\""
        << CaptionPixels << "\" fill=\"#ffffff\" text-anchor=\"middle\">" << Caption << "</text>\n"
        << "</svg>\n";
    return true;
}

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? argv[1] : ".";
    lamp(QColor(0xFF, 0x30, 0x30), QColor(0x90, 0x00, 0x00)).save(dir + "/red.jpg", "JPG", 95);
    lamp(QColor(0x30, 0xFF, 0x30), QColor(0x00, 0x80, 0x00)).save(dir + "/green.jpg", "JPG", 95);
    for (int size : {16, 32, 48}) icon(size).save(dir + QString("/vesperbox-%1.png").arg(size));
    return writeSvgIcon(dir + "/vesperbox.svg") ? 0 : 1;
}
