// The lines a clean link test leaves in the log, a comparison that takes
// "~" lines as patterns (the timing figures vary), and a view that keeps a
// test's lines.
#pragma once

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QStringList>

#include "frontend/link_test.h"
#include "support/qt_support.h"

namespace testing_support {

// Lines of a clean link test for one pass of the log; "~" marks a pattern.
inline QStringList cleanTest() {
    return {
        QString(73, '-'),
        "Repeater mode  OFF",
        "Trying to get the Demodulator serial number",
        "we get the value = 32",
        "Demodulator is recognized",
        "trying to write $5A=90 in register X ",
        "writing $5A at address X seems OK",
        "trying to read 1000 times register X",
        "~time to do it : \\d+msec",
        "we have : 0 reading errors from 1000",
        "test: 512 writing/reading the Demodulator",
        "we have : 0 writing errors and 0 reading errors from 512",
        QString(70, 'x'),
        QString(20, ' ') + "Demodulator setup for DVBS" + QString(28, ' '),
        QString(70, '-'),
        "Writing demodulator default values ==> OK",
        "~time to do it: \\d+msec",
        "writing $5A at address X seems OK",
        "we try to do 1000 readings of register X after demodulator init",
        "~time to do it : \\d+msec",
        "we have : 0 reading errors from 1000",
        "test: 512 writing/reading the Demodulator after initialization",
        "we have : 0 writing errors and 0 reading errors from 512",
    };
}

inline void expectLines(const QStringList& actual, const QStringList& expected) {
    ASSERT_EQ(actual.size(), expected.size()) << ::testing::PrintToString(actual);
    for (int i = 0; i < expected.size(); ++i) {
        if (expected[i].startsWith('~')) {
            const QRegularExpression re("^" + expected[i].mid(1) + "$");
            EXPECT_TRUE(re.match(actual[i]).hasMatch()) << i << ": " << actual[i].toStdString();
        } else {
            EXPECT_EQ(actual[i], expected[i]) << i;
        }
    }
}

// A link test view that keeps its lines.
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
