// What a NIM test says in the log, rendered from its report: the lines each
// step adds before it runs and once it has run, the one line a lost link
// leaves, and the text beside "Nb I2C errors:".
#pragma once

#include <QString>
#include <QStringList>

#include "frontend/link_test.h"

namespace frontend {

QStringList StepStartLines(LinkStep step, const LinkTestReport& report);
// The step's result lines; after a lost link, the one line that says so.
QStringList StepEndLines(LinkStep step, const LinkTestReport& report);
// The button handler's lines when nobody answered at the address.
QStringList DemodNotFoundLines();
// The total once the test has ended: the number, or "????????" when nobody
// answered or the link was lost (a partial count would read like a result).
QString ErrorTotalText(const LinkTestReport& report);

// What went wrong, one phrase per finding, for a report read outside the
// window ("register X (0xF536): 12 reading errors from 1000 in the first
// pass", ...); empty for a clean test.
QStringList LinkTestFindings(const LinkTestReport& report);

}  // namespace frontend
