// A board check written down: JSON for a bench's own records (its shape is
// docs/check-report.schema.json) and JUnit XML, one test case per step, for
// CI systems that collect those.
#pragma once

#include <QByteArray>
#include <QString>

#include "console/board_check.h"

namespace console {

// What the check itself does not know.
struct ReportContext {
    QString programVersion;
    QString backend;  // "simulated", "libftdi" or "d2xx"
    int seconds = 5;
};

QByteArray CheckReportJson(const CheckOutcome& outcome, const ReportContext& context);
QByteArray CheckReportJUnit(const CheckOutcome& outcome, const ReportContext& context);

// "pass  link test         812 ms  0 I2C errors"
QString StepLine(const CheckStep& step);
// "verdict: PASS" or "verdict: FAIL at link test: ..."
QString VerdictLine(const CheckOutcome& outcome);

}  // namespace console
