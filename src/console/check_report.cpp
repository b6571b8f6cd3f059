#include "console/check_report.h"

#include "console/signal_monitor.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamWriter>

namespace console {

namespace {

constexpr const char* SchemaId = "vesperbox-check-report/2";

QJsonValue optionalString(const QString& s) { return s.isEmpty() ? QJsonValue() : QJsonValue(s); }

QJsonObject channel(const QString& serial, const QString& description) {
    return {{"serial", optionalString(serial)}, {"description", optionalString(description)}};
}

}  // namespace

QByteArray CheckReportJson(const CheckOutcome& o, const ReportContext& c) {
    QJsonArray steps;
    for (const CheckStep& s : o.steps) {
        steps.append(QJsonObject{{"name", s.name},
                                 {"result", StepResultName(s.result)},
                                 {"durationMs", static_cast<qint64>(s.durationMs)},
                                 {"detail", s.detail}});
    }

    QJsonObject figures;
    QJsonObject errors;
    const QJsonValue i2cErrors = o.i2cErrors ? QJsonValue(static_cast<qint64>(*o.i2cErrors)) : QJsonValue();
    figures["i2cErrors"] = i2cErrors;
    errors["i2c"] = i2cErrors;
    if (o.stream) {
        const StreamFigures& f = *o.stream;
        figures["stream"] = QJsonObject{
            {"elapsedMs", static_cast<qint64>(f.elapsedMs)},
            {"bytes", static_cast<qint64>(f.bytes)},
            {"packets", static_cast<qint64>(f.packets)},
            {"megabitsPerSecond", f.megabitsPerSecond},
            {"reads", static_cast<qint64>(f.reads)},
            {"shortReads", static_cast<qint64>(f.shortReads)},
            {"end", StreamEndName(f.end)},
            {"failedCall", optionalString(f.failedCall)},
            {"status", f.failedCall.isEmpty() ? QJsonValue() : QJsonValue(static_cast<qint64>(f.status))},
        };
        errors["continuity"] = static_cast<qint64>(f.continuityErrors);
        errors["syncLosses"] = static_cast<qint64>(f.syncLosses);
        errors["bytesOutsidePackets"] = static_cast<qint64>(f.bytesOutsidePackets);
    } else {
        figures["stream"] = QJsonValue();
        errors["continuity"] = QJsonValue();
        errors["syncLosses"] = QJsonValue();
        errors["bytesOutsidePackets"] = QJsonValue();
    }
    if (o.registers) {
        const RegisterFigures& r = *o.registers;
        figures["registers"] = QJsonObject{{"read", r.registers},
                                           {"imaged", r.imaged},
                                           {"differing", r.differing},
                                           {"failedReads", r.failedReads}};
        errors["registersDiffering"] = r.differing;
    } else {
        figures["registers"] = QJsonValue();
        errors["registersDiffering"] = QJsonValue();
    }

    if (o.signal) {
        const SignalFigures& s = *o.signal;
        figures["signal"] = QJsonObject{{"locked", s.locked},
                                        {"lockMs", static_cast<qint64>(s.lockMs)},
                                        {"reading", s.locked ? QJsonValue(SignalReadingJson(s.reading)) : QJsonValue()}};
    } else {
        figures["signal"] = QJsonValue();
    }

    const CheckStep* failed = o.failedStep();
    const QJsonObject root{
        {"schema", SchemaId},
        {"program", QJsonObject{{"name", "vesperbox"}, {"version", c.programVersion}}},
        {"startedAt", o.startedAt},
        {"finishedAt", o.finishedAt},
        {"backend", c.backend},
        {"seconds", c.seconds},
        {"board", QJsonObject{{"serial", optionalString(o.board)},
                              {"channelA", channel(o.serialA, o.descriptionA)},
                              {"channelB", channel(o.serialB, o.descriptionB)}}},
        {"nim", o.nim.isEmpty() ? QJsonValue()
                                : QJsonValue(QJsonObject{{"name", o.nim}, {"demodAddress", o.demodAddress}})},
        {"steps", steps},
        {"figures", figures},
        {"errors", errors},
        {"verdict", o.passed() ? "pass" : "fail"},
        {"failedStep", failed ? QJsonValue(failed->name) : QJsonValue()},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QByteArray CheckReportJUnit(const CheckOutcome& o, const ReportContext& c) {
    QByteArray out;
    QXmlStreamWriter x(&out);
    x.setAutoFormatting(true);
    x.writeStartDocument();
    int failures = 0, skipped = 0;
    std::int64_t totalMs = 0;
    for (const CheckStep& s : o.steps) {
        failures += s.result == StepResult::Failed;
        skipped += s.result == StepResult::Skipped;
        totalMs += s.durationMs;
    }
    const QString suite = QStringLiteral("vesperbox check ") + (o.board.isEmpty() ? QStringLiteral("(no board)") : o.board);
    auto seconds = [](std::int64_t ms) { return QString::number(static_cast<double>(ms) / 1000.0, 'f', 3); };
    x.writeStartElement(QStringLiteral("testsuites"));
    x.writeStartElement(QStringLiteral("testsuite"));
    x.writeAttribute(QStringLiteral("name"), suite);
    x.writeAttribute(QStringLiteral("tests"), QString::number(o.steps.size()));
    x.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    x.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
    x.writeAttribute(QStringLiteral("skipped"), QString::number(skipped));
    x.writeAttribute(QStringLiteral("time"), seconds(totalMs));
    x.writeAttribute(QStringLiteral("timestamp"), o.startedAt);
    x.writeStartElement(QStringLiteral("properties"));
    auto property = [&](const QString& name, const QString& value) {
        x.writeStartElement(QStringLiteral("property"));
        x.writeAttribute(QStringLiteral("name"), name);
        x.writeAttribute(QStringLiteral("value"), value);
        x.writeEndElement();
    };
    property(QStringLiteral("version"), c.programVersion);
    property(QStringLiteral("backend"), c.backend);
    property(QStringLiteral("serialA"), o.serialA);
    property(QStringLiteral("serialB"), o.serialB);
    x.writeEndElement();
    for (const CheckStep& s : o.steps) {
        x.writeStartElement(QStringLiteral("testcase"));
        x.writeAttribute(QStringLiteral("classname"), QStringLiteral("vesperbox.check"));
        x.writeAttribute(QStringLiteral("name"), s.name);
        x.writeAttribute(QStringLiteral("time"), seconds(s.durationMs));
        if (s.result == StepResult::Failed) {
            x.writeStartElement(QStringLiteral("failure"));
            x.writeAttribute(QStringLiteral("message"), s.detail);
            x.writeEndElement();
        } else if (s.result == StepResult::Skipped) {
            x.writeStartElement(QStringLiteral("skipped"));
            x.writeAttribute(QStringLiteral("message"), s.detail);
            x.writeEndElement();
        } else {
            x.writeTextElement(QStringLiteral("system-out"), s.detail);
        }
        x.writeEndElement();
    }
    x.writeEndElement();
    x.writeEndElement();
    x.writeEndDocument();
    return out;
}

QString StepLine(const CheckStep& s) {
    return QStringLiteral("%1 %2 %3 ms  %4")
        .arg(StepResultName(s.result), -7)
        .arg(s.name, -13)
        .arg(s.durationMs, 6)
        .arg(s.detail);
}

QString VerdictLine(const CheckOutcome& o) {
    if (o.passed()) return QStringLiteral("verdict: PASS");
    const CheckStep* f = o.failedStep();
    return QStringLiteral("verdict: FAIL") +
           (f ? QStringLiteral(" at ") + f->name + QStringLiteral(": ") + f->detail : QString());
}

}  // namespace console
