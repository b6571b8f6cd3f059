// vesperbox check, regs and --list-boards as a bench script runs them: the
// real executable on the simulated board, its exit status, its lines and
// the files it writes.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include "catalogues/stv0903_registers.h"
#include "catalogues/stv0903_signal.h"
#include "frontend/demod_image.h"
#include "frontend/link_test.h"
#include "frontend/register_dump.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace {

using testing_support::ProgramRun;
using testing_support::vesperbox;

QString schemaPath() { return QStringLiteral(VESPER_SOURCE_DIR "/docs/check-report.schema.json"); }

// Validates with the python3-jsonschema package of the setup script, so the
// schema is checked by an implementation that is not ours. Empty when valid.
QString schemaErrors(const QString& reportPath, bool* available) {
    QProcess p;
    p.start(QStringLiteral("python3"),
            {QStringLiteral("-c"),
             QStringLiteral("import json,sys\n"
                            "import jsonschema\n"
                            "s=json.load(open(sys.argv[1]))\n"
                            "jsonschema.Draft202012Validator.check_schema(s)\n"
                            "v=jsonschema.Draft202012Validator(s)\n"
                            "errs=[e.message for e in v.iter_errors(json.load(open(sys.argv[2])))]\n"
                            "print('\\n'.join(errs)); sys.exit(1 if errs else 0)\n"),
             schemaPath(), reportPath});
    *available = p.waitForFinished(60000);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    if (err.contains(QStringLiteral("No module named"))) *available = false;
    if (!*available) return {};
    return p.exitCode() == 0 ? QString() : QString::fromUtf8(p.readAllStandardOutput()) + err;
}

void expectValid(const QString& reportPath) {
    bool available = false;
    const QString errors = schemaErrors(reportPath, &available);
    ASSERT_TRUE(available) << "python3 with jsonschema is needed (scripts/install-deps.sh)";
    EXPECT_TRUE(errors.isEmpty()) << errors.toStdString();
}

QJsonObject readJson(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

// The step lines: "RESULT NAME ... ms  DETAIL"; the result of the named step.
QString resultOf(const QStringList& out, const QString& step) {
    for (const QString& line : out) {
        const QString rest = line.mid(8);
        if (rest.startsWith(step + QLatin1Char(' '))) return line.left(7).trimmed();
    }
    return {};
}

class CheckCommand : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
};

TEST_F(CheckCommand, GoodBoardPassesEveryStepAndWritesReportsThatValidate) {
    const ProgramRun r = vesperbox({"check", "--simulate", "--seconds=1", "--report=" + path("r.json"),
                                    "--junit=" + path("r.xml")},
                                   dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.out.join('\n').toStdString() << r.err.toStdString();
    for (const char* step : {"devices", "channels", "I2C set-up", "NIM", "link test", "tuner set-up", "signal", "stream"})
        EXPECT_EQ(resultOf(r.out, step), "pass") << step;
    EXPECT_EQ(r.out.last(), "verdict: PASS");
    // Piped output carries no progress indication.
    EXPECT_FALSE(r.out.join('\n').contains(QStringLiteral("\r")));

    expectValid(path("r.json"));
    const QJsonObject report = readJson(path("r.json"));
    EXPECT_EQ(report["verdict"].toString(), "pass");
    EXPECT_TRUE(report["failedStep"].isNull());
    const QJsonObject board = report["board"].toObject();
    EXPECT_EQ(board["serial"].toString(), "VB2232H1");
    EXPECT_EQ(board["channelB"].toObject()["serial"].toString(), "VB2232H1B");
    EXPECT_EQ(report["nim"].toObject()["demodAddress"].toInt(), 0xD4);
    const QJsonObject errors = report["errors"].toObject();
    EXPECT_EQ(errors["i2c"].toInt(-1), 0);
    EXPECT_EQ(errors["continuity"].toInt(-1), 0);
    EXPECT_EQ(errors["syncLosses"].toInt(-1), 0);
    EXPECT_GT(report["figures"].toObject()["stream"].toObject()["packets"].toInt(), 0);
    EXPECT_EQ(report["steps"].toArray().size(), 8);
    const QJsonObject signal = report["figures"].toObject()["signal"].toObject();
    EXPECT_TRUE(signal["locked"].toBool());
    EXPECT_EQ(signal["reading"].toObject()["system"].toString(), "dvbs2");

    QFile xml(path("r.xml"));
    ASSERT_TRUE(xml.open(QIODevice::ReadOnly));
    QXmlStreamReader reader(&xml);
    int cases = 0, failures = 0;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QStringLiteral("testcase")) ++cases;
        if (reader.isStartElement() && reader.name() == QStringLiteral("failure")) ++failures;
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    EXPECT_EQ(cases, 8);
    EXPECT_EQ(failures, 0);
}

// Each fault of the simulated board fails the step that should catch it,
// with a reason that names what is wrong, and the steps after it are skipped.
struct FaultCase {
    const char* option;
    const char* step;
    const char* reason;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.option; }

class CheckFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(CheckFault, FailsTheStepThatCatchesItAndSaysWhy) {
    const FaultCase& c = GetParam();
    QTemporaryDir dir;
    const QString report = dir.filePath("r.json");
    const ProgramRun r =
        vesperbox({"check", "--simulate", "--seconds=1", QString::fromLatin1(c.option), "--report=" + report},
                  dir.path());
    EXPECT_EQ(r.exitCode, 1) << r.out.join('\n').toStdString();
    EXPECT_EQ(resultOf(r.out, c.step), "fail") << r.out.join('\n').toStdString();
    ASSERT_FALSE(r.out.isEmpty());
    EXPECT_TRUE(r.out.last().startsWith(QStringLiteral("verdict: FAIL at ") + c.step + ": "))
        << r.out.last().toStdString();
    EXPECT_TRUE(r.out.last().contains(QString::fromLatin1(c.reason))) << r.out.last().toStdString();
    if (QString::fromLatin1(c.step) != "stream") {
        EXPECT_EQ(resultOf(r.out, "stream"), "skipped");
    }

    expectValid(report);
    const QJsonObject json = readJson(report);
    EXPECT_EQ(json["verdict"].toString(), "fail");
    EXPECT_EQ(json["failedStep"].toString(), QString::fromLatin1(c.step));
}

INSTANTIATE_TEST_SUITE_P(
    SimulatedFaults, CheckFault,
    ::testing::Values(
        FaultCase{"--devices=0", "devices", "No FT2232H"},
        FaultCase{"--devices=1", "devices", "channel B is missing"},
        FaultCase{"--fail=FT_Open:1=2", "channels", "FT_OpenB - Device not found"},
        FaultCase{"--fault=mpsse-silent", "I2C set-up", "did not set up as I2C master"},
        FaultCase{"--fault=demod-absent", "NIM", "no demodulator answers at 0xD4"},
        FaultCase{"--fault=wrong-chip-id=0x31", "NIM", "identity 0x31, not 0x20"},
        FaultCase{"--fault=scratch-stuck", "link test", "register X (0xF536)"},
        FaultCase{"--fault=nack-rate=0.02", "link test", "unacknowledged and were retried"},
        FaultCase{"--fault=image-fails-at=20", "link test", "default values"},
        FaultCase{"--fault=tuner-absent", "tuner set-up", "tuner at 0xC0"},
        FaultCase{"--fault=ts-none", "stream", "no data on channel B within 5000 ms"},
        FaultCase{"--fault=ts-stop-after=100000", "stream", "the stream stopped after 100000 bytes"},
        FaultCase{"--fail=FT_Read:1=4@50", "stream", "FT_Read B - General IO error..."}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
        std::string name;
        for (const char* p = info.param.option + 2; *p; ++p)
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

// The check streams through the window's pump: reads that come short are
// joined into whole packets, which is good data; a read that fails is told
// apart from a stream that stops, and the report says how the stream ended.
TEST_F(CheckCommand, ShortReadsPassAndAFailedReadIsNotAStoppedStream) {
    const QString report = dir.filePath("r.json");
    ProgramRun r = vesperbox({"check", "--simulate", "--usb-timing=ideal", "--fault=ts-short-reads", "--seconds=1",
                              "--report=" + report});
    EXPECT_EQ(r.exitCode, 0) << r.out.join('\n').toStdString();
    QJsonObject stream = readJson(report)["figures"].toObject()["stream"].toObject();
    EXPECT_EQ(stream["end"].toString(), "switched-off");
    EXPECT_GT(stream["shortReads"].toInt(), 0);
    EXPECT_EQ(readJson(report)["errors"].toObject()["continuity"].toInt(-1), 0);

    r = vesperbox({"check", "--simulate", "--usb-timing=ideal", "--fail=FT_Read:1=4@50", "--seconds=2", "--report=" + report});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(r.out.last().contains("stopped")) << r.out.last().toStdString();
    stream = readJson(report)["figures"].toObject()["stream"].toObject();
    EXPECT_EQ(stream["end"].toString(), "read-failed");
    EXPECT_EQ(stream["failedCall"].toString(), "FT_Read B");
    EXPECT_EQ(stream["status"].toInt(), 4);
    expectValid(report);

    r = vesperbox({"check", "--simulate", "--usb-timing=ideal", "--fault=ts-stop-after=64484", "--seconds=2",
                   "--report=" + report});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.last().contains("the stream stopped after 64484 bytes")) << r.out.last().toStdString();
    stream = readJson(report)["figures"].toObject()["stream"].toObject();
    EXPECT_EQ(stream["end"].toString(), "stream-stopped");
    EXPECT_TRUE(stream["failedCall"].isNull());
    expectValid(report);
}

// The signal step: the demodulator must lock in time, and the figures meet
// what the bench asks of them; the report carries what was measured.
TEST_F(CheckCommand, SignalStepHoldsTheLockAndTheFiguresToTheLimitsAsked) {
    const QString report = path("r.json");
    ProgramRun r = vesperbox({"check", "--simulate", "--seconds=1", "--cn=4", "--min-cn=6", "--report=" + report});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(resultOf(r.out, "signal"), "fail");
    EXPECT_EQ(resultOf(r.out, "stream"), "skipped");
    EXPECT_TRUE(r.out.last().startsWith("verdict: FAIL at signal: C/N 4.")) << r.out.last().toStdString();
    EXPECT_TRUE(r.out.last().contains(" dB is below 6.0 dB")) << r.out.last().toStdString();
    expectValid(report);

    r = vesperbox({"check", "--simulate", "--seconds=1", "--cn=9", "--min-cn=6", "--level=-45", "--min-level=-50",
                   "--max-ber=1e-5", "--report=" + report});
    EXPECT_EQ(r.exitCode, 0) << r.out.join('\n').toStdString();
    expectValid(report);
    const QJsonObject reading = readJson(report)["figures"].toObject()["signal"].toObject()["reading"].toObject();
    EXPECT_NEAR(reading["cnDb"].toDouble(), 9, 0.3);
    EXPECT_NEAR(reading["levelDbm"].toDouble(), -45, 0.1);
    EXPECT_EQ(reading["errors"].toObject()["kind"].toString(), "packets");

    // No lock within the time: the stages that hold are named.
    r = vesperbox({"check", "--simulate", "--seconds=1", "--signal=locks-after=60000", "--lock-timeout=300"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.last().contains("the demodulator did not lock within 300 ms (no lock")) << r.out.last().toStdString();

    // Errors above the rate asked, on DVB-S (bits).
    r = vesperbox({"check", "--simulate", "--seconds=1", "--system=dvbs", "--ber=1e-3", "--max-ber=1e-6"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.last().contains("BER ")) << r.out.last().toStdString();
    EXPECT_TRUE(r.out.last().contains(" is above 1.0e-06")) << r.out.last().toStdString();
}

// The window's byte-by-byte master gives the check the same verdicts as the
// queued engine, only slower.
TEST_F(CheckCommand, TheByteMasterGivesTheSameVerdicts) {
    ProgramRun r = vesperbox({"check", "--simulate", "--usb-timing=ideal", "--seconds=1", "--i2c=byte"});
    EXPECT_EQ(r.exitCode, 0) << r.out.join('\n').toStdString();
    r = vesperbox({"check", "--simulate", "--usb-timing=ideal", "--seconds=1", "--i2c=byte", "--fault=scratch-stuck"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(resultOf(r.out, "link test"), "fail");
    r = vesperbox({"regs", "--simulate", "--i2c=byte", "--read=MID"});
    EXPECT_EQ(r.out, QStringList{"MID (0xF100) = 0x20"});
    r = vesperbox({"check", "--simulate", "--i2c=pins"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("--i2c takes byte")) << r.err.toStdString();
}

TEST_F(CheckCommand, SlowStreamFailsAgainstTheRateAsked) {
    const ProgramRun r = vesperbox({"check", "--simulate", "--seconds=1", "--ts-rate=2", "--min-mbit=4"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(resultOf(r.out, "stream"), "fail");
    EXPECT_TRUE(r.out.last().contains("below 4 Mbit/s")) << r.out.last().toStdString();
}

// After the link test the dump reads every catalogue register; with the
// image written again every imaged register holds the image's value, on
// both NIMs (the two registers that take the chip's address differ), but
// for the measurements the demodulator makes itself: it tracks the default
// signal, 27.5 Msym/s where the image starts its search at 4.
TEST_F(CheckCommand, RegisterDumpAfterTheLinkTestEqualsTheDefaultImage) {
    const std::pair<QString, std::uint8_t> nims[] = {{"--nim=earda", frontend::DemodEardatek},
                                                     {"--nim=sharp", frontend::DemodSharp}};
    for (const auto& [nim, address] : nims) {
        const QString csv = path("regs.csv");
        const ProgramRun r = vesperbox({"check", "--simulate", "--seconds=1", nim, "--dump-registers=" + csv});
        EXPECT_EQ(r.exitCode, 0) << r.out.join('\n').toStdString();
        EXPECT_EQ(resultOf(r.out, "registers"), "pass");
        QFile f(csv);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.takeFirst(), "name,address,value,image,differs");
        ASSERT_EQ(lines.size(), 405);
        int imaged = 0;
        for (std::size_t i = 0; i < STV0903Registers::RegisterCount; ++i) {
            const auto& reg = STV0903Registers::STV0903RegisterTable[i];
            const QStringList cols = lines[static_cast<qsizetype>(i)].split(',');
            ASSERT_EQ(cols.size(), 5) << lines[static_cast<qsizetype>(i)].toStdString();
            EXPECT_EQ(cols[0], QString::fromLatin1(reg.Name.data(), static_cast<qsizetype>(reg.Name.size())));
            EXPECT_EQ(cols[1].toUInt(nullptr, 16), reg.Address);
            const auto image = frontend::ImageValue(reg.Address, address);
            if (!image) {
                EXPECT_TRUE(cols[3].isEmpty());
                continue;
            }
            ++imaged;
            EXPECT_EQ(cols[3].toUInt(nullptr, 16), *image);
            if (STV0903Signal::SetByDemodulator(reg.Address)) {
                EXPECT_EQ(cols[4], cols[2] == cols[3] ? "no" : "yes") << cols[0].toStdString();
                if (reg.Address == STV0903Signal::SFR3) {
                    EXPECT_EQ(cols[2].toUInt(nullptr, 16), STV0903Signal::SfrForSymbolRate(27.5e6) >> 24);
                }
                continue;
            }
            EXPECT_EQ(cols[2].toUInt(nullptr, 16), *image) << cols[0].toStdString();
            EXPECT_EQ(cols[4], "no");
        }
        EXPECT_EQ(imaged, 275);
        f.close();
        f.remove();
    }
}

TEST(RegsCommand, ReadsWritesAndDumpsByCatalogueNameOrAddress) {
    ProgramRun r = vesperbox({"regs", "--simulate", "--read=MID"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringList{"MID (0xF100) = 0x20"});
    r = vesperbox({"regs", "--simulate", "--read=0xf100", "--nim=sharp"});
    EXPECT_EQ(r.out, QStringList{"MID (0xF100) = 0x20"});
    r = vesperbox({"regs", "--simulate", "--write=vth34=0x5A"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, QStringList{"VTH34 (0xF536) = 0x5A written"});

    // Before any link test the chip holds its power-on values, not the image.
    QTemporaryDir dir;
    r = vesperbox({"regs", "--simulate", "--dump=" + dir.filePath("d.csv")});
    EXPECT_EQ(r.exitCode, 0);
    QFile f(dir.filePath("d.csv"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines.size(), 406);
    EXPECT_EQ(lines[1], "MID,0xF100,0x20,,");
}

TEST(RegsCommand, RefusesRegistersOutsideTheCatalogueAndBadUsage) {
    for (const QStringList& args :
         {QStringList{"regs", "--simulate", "--read=NOSUCH"}, QStringList{"regs", "--simulate", "--read=0xF101"},
          QStringList{"regs", "--simulate", "--write=0xF101=0x00"},
          QStringList{"regs", "--simulate", "--write=MID=0x100"}, QStringList{"regs", "--simulate", "--write=MID"},
          QStringList{"regs", "--simulate"}, QStringList{"regs", "--simulate", "--read=MID", "--dump=x.csv"},
          QStringList{"check", "--simulate", "--seconds=0"}, QStringList{"check", "--read=MID"},
          QStringList{"--seconds=2"}, QStringList{"check", "--simulate", "--do", "Exit1"},
          QStringList{"check", "--simulate", "--report=/nonexistent-dir/r.json"}}) {
        const ProgramRun r = vesperbox(args);
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.startsWith("vesperbox: ")) << r.err.toStdString();
    }
    // A failed set-up is the board's fault, not the command line's.
    const ProgramRun r = vesperbox({"regs", "--simulate", "--read=MID", "--fault=demod-absent"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("NIM: no demodulator answers")) << r.err.toStdString();
}

// Two boards on the bus: without --board nothing starts and the serials are
// named; with it only the chosen board's channels are seen.
TEST(TwoBoards, ChosenBySerialNumber) {
    ProgramRun r = vesperbox({"--simulate", "--boards=2", "--list-boards"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, (QStringList{"VB2232H1", "VB2232H2"}));

    r = vesperbox({"check", "--simulate", "--boards=2", "--seconds=1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(resultOf(r.out, "devices"), "fail");
    EXPECT_TRUE(r.out.last().contains("boards VB2232H1, VB2232H2; choose one with --board=SERIAL"))
        << r.out.last().toStdString();

    QTemporaryDir dir;
    r = vesperbox({"check", "--simulate", "--boards=2", "--board=VB2232H2", "--seconds=1",
                   "--report=" + dir.filePath("r.json")});
    EXPECT_EQ(r.exitCode, 0) << r.out.join('\n').toStdString();
    const QJsonObject board = readJson(dir.filePath("r.json"))["board"].toObject();
    EXPECT_EQ(board["channelA"].toObject()["serial"].toString(), "VB2232H2A");

    r = vesperbox({"check", "--simulate", "--boards=2", "--board=VB2232H7", "--seconds=1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("no board VB2232H7 is present; boards: VB2232H1, VB2232H2")) << r.err.toStdString();

    // The window: the log names both boards, or uses the chosen one.
    r = vesperbox({"--simulate", "--boards=2", "--do", "Exit1"});
    // Boards are there: the log says how many and how to choose, not that
    // there is none.
    EXPECT_FALSE(r.out.contains("No FT2232H or no power on it"));
    EXPECT_TRUE(r.out.contains("Several boards present: VB2232H1, VB2232H2 - choose one with --board=SERIAL"))
        << r.out.join('\n').toStdString();
    r = vesperbox({"--simulate", "--boards=2", "--board=VB2232H2", "--do", "Exit1"});
    EXPECT_TRUE(r.out.contains(QString::fromUtf8("For I2C,we will use device N° VB2232H2A named: Dual RS232-HS A")))
        << r.out.join('\n').toStdString();
    EXPECT_TRUE(r.out.contains(QString::fromUtf8("For TS,we will use device N° VB2232H2B named: Dual RS232-HS B")));
}

// With several boards the bus trace is the chosen board's alone: a file
// shared by all of them came out with one board's lines written over the
// other's.
TEST(TwoBoards, BusTraceIsTheChosenBoardsAlone) {
    QTemporaryDir dir;
    const QString trace = dir.filePath("bus.vcd");
    const ProgramRun r = vesperbox({"regs", "--simulate", "--boards=2", "--board=VB2232H2",
                                    "--i2c-trace=" + trace, "--read=MID"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QFile f(trace);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    const qsizetype body = lines.indexOf("$end", lines.indexOf("$dumpvars")) + 1;
    ASSERT_GT(body, 0);
    qint64 last = -1;
    int changes = 0;
    for (qsizetype i = body; i < lines.size(); ++i) {
        const QString& l = lines[i];
        if (l.startsWith('#')) {
            bool ok = false;
            const qint64 t = l.mid(1).toLongLong(&ok);
            ASSERT_TRUE(ok && t > last) << "line " << i + 1 << ": " << l.toStdString();
            last = t;
        } else {
            ASSERT_TRUE(l.size() == 2 && QString("01").contains(l[0]) && QString("!\"%").contains(l[1]))
                << "line " << i + 1 << ": " << l.toStdString();
            ++changes;
        }
    }
    // The NIM search and the read of MID clock a few hundred pin changes.
    EXPECT_GT(changes, 100);
}

}  // namespace
