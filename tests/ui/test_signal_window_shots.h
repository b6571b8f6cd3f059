// Looking at the signal window's pictures: where its screenshots go, and
// how many clusters of light its constellation shows.
#pragma once

#include <QDir>
#include <QImage>
#include <QRect>
#include <QString>
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "frontend/signal_reader.h"
#include "ui/signal_widgets.h"
#include "ui/signal_window.h"

namespace testing_support {

// The window's picture, kept in the build tree for a person to open.
inline QString saveSignalShot(const QImage& image, const QString& name) {
    const QString dir = QStringLiteral(VESPER_BINARY_DIR "/screenshots");
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    return image.save(path) ? path : QString();
}

// The constellation's plot inside a grab of the whole window.
inline QRect plotInWindow(const ui::SignalWindow& w) {
    const ui::ConstellationView& c = w.constellation();
    return QRect(c.mapTo(&w, c.plotRect().topLeft()), c.plotRect().size());
}

// The brightness of the pixels of area (turned into the shot's device
// pixels), each averaged with its neighbours within blur x its width so
// that the speckle at a cluster's edge joins the cluster.
inline std::vector<int> brightness(const QImage& shot, QRect& area, double blur) {
    const QImage img = shot.convertToFormat(QImage::Format_RGB32);
    // A grab is in device pixels.
    const qreal dpr = shot.devicePixelRatio();
    area = QRect((area.topLeft() * dpr), area.size() * dpr).intersected(img.rect());
    const int w = area.width(), h = area.height();
    const int radius = blur > 0 ? std::max(1, static_cast<int>(w * blur)) : 0;
    std::vector<int> plain(static_cast<std::size_t>(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QRgb c = img.pixel(area.left() + x, area.top() + y);
            plain[static_cast<std::size_t>(y * w + x)] = (qRed(c) + qGreen(c) + qBlue(c)) / 3;
        }
    if (radius == 0) return plain;
    std::vector<int> blurred(plain.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int sum = 0, n = 0;
            for (int dy = -radius; dy <= radius; ++dy)
                for (int dx = -radius; dx <= radius; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
                    sum += plain[static_cast<std::size_t>(ny * w + nx)];
                    ++n;
                }
            blurred[static_cast<std::size_t>(y * w + x)] = sum / n;
        }
    return blurred;
}

// Bright blobs in area (8-connected, after a blur over a hundredth of its
// width), each at least a two-thousandth of its area: the grid, the labels
// and the faint light of stray points stay below the threshold.
inline int countClusters(const QImage& shot, QRect area, int threshold = 100) {
    const std::vector<int> b = brightness(shot, area, 0.01);
    const int w = area.width(), h = area.height();
    const int minPixels = std::max(4, w * h / 2000);
    std::vector<int> lit(b.size());
    for (std::size_t k = 0; k < b.size(); ++k) lit[k] = b[k] > threshold;
    int clusters = 0;
    std::vector<int> stack;
    for (int start = 0; start < w * h; ++start) {
        if (lit[static_cast<std::size_t>(start)] != 1) continue;
        int size = 0;
        stack.assign(1, start);
        lit[static_cast<std::size_t>(start)] = 2;
        while (!stack.empty()) {
            const int at = stack.back();
            stack.pop_back();
            ++size;
            const int x = at % w, y = at / w;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
                    int& n = lit[static_cast<std::size_t>(ny * w + nx)];
                    if (n == 1) {
                        n = 2;
                        stack.push_back(ny * w + nx);
                    }
                }
        }
        clusters += size >= minPixels;
    }
    return clusters;
}

// The share of area's pixels that show any light of the constellation,
// faint blue included: the panel, the grid and the axes are grey.
inline double litShare(const QImage& shot, QRect area) {
    const QImage img = shot.convertToFormat(QImage::Format_RGB32);
    const qreal dpr = shot.devicePixelRatio();
    area = QRect((area.topLeft() * dpr), area.size() * dpr).intersected(img.rect());
    if (area.isEmpty()) return 0;
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb c = img.pixel(x, y);
            n += qBlue(c) - qRed(c) > 50 || (qRed(c) + qGreen(c) + qBlue(c)) / 3 > 100;
        }
    return static_cast<double>(n) / (area.width() * area.height());
}

// The part of the plot within `reach` of the value v of I and Q round (i, q).
inline QRect aroundPoint(const QRect& plot, int i, int q, int reach) {
    const double cell = plot.width() / 256.0;
    const int x = plot.left() + static_cast<int>((i + 128 + 0.5 - reach) * cell);
    const int y = plot.top() + static_cast<int>((127 - q + 0.5 - reach) * cell);
    const int side = static_cast<int>(2 * reach * cell);
    return {x, y, side, side};
}

// count symbols of an M-PSK constellation of the given radius, with
// Gaussian noise of sigma per axis; M = 0 gives noise alone.
inline std::vector<frontend::IqPoint> pskPoints(std::mt19937& random, std::size_t count, int m, double radius,
                                                double sigma) {
    std::normal_distribution<double> noise(0, sigma);
    std::uniform_int_distribution<int> symbol(0, std::max(m, 1) - 1);
    std::vector<frontend::IqPoint> points;
    for (std::size_t k = 0; k < count; ++k) {
        double i = noise(random), q = noise(random);
        if (m > 0) {
            const double a = (symbol(random) + 0.5) * 2 * std::acos(-1.0) / m;
            i += radius * std::cos(a);
            q += radius * std::sin(a);
        }
        auto clip = [](double v) { return static_cast<std::int8_t>(std::clamp(std::lround(v), -128L, 127L)); };
        points.push_back({clip(i), clip(q)});
    }
    return points;
}

}  // namespace testing_support
