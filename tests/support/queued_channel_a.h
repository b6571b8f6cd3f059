// The queued I2C engine on the simulated channel A, set up the way the
// headless commands do it: the byte-by-byte master's set-up first, then the
// queued engine on the same channel. A link test view that keeps its lines.
#pragma once

#include <QString>
#include <QStringList>

#include "frontend/link_test.h"
#include "i2c/queued_i2c.h"
#include "support/simulated_channel_a.h"

namespace testing_support {

struct QueuedRig : I2cRig {
    i2c::QueuedI2c queued{channels, clock};

    explicit QueuedRig(const sim::ChannelAOptions& options = {}) : I2cRig(options) {}
};

class LinkTestLines : public frontend::LinkTestView {
public:
    QStringList lines;
    QString total;
    void AppendLog(const QString& line) override { lines << line; }
    void ShowErrorTotal(const QString& text) override { total = text; }

    // The lines with the measured times blanked out.
    QStringList withoutTimes() const {
        QStringList out;
        for (QString l : lines) {
            if (l.startsWith("time to do it")) l = l.left(l.indexOf(':') + 1) + " #msec";
            out << l;
        }
        return out;
    }
};

}  // namespace testing_support
