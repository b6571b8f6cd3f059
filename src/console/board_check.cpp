#include "console/board_check.h"

#include <QDateTime>

#include "console/signal_monitor.h"
#include "frontend/link_test_log.h"
#include "frontend/demod_image.h"
#include "usb/board_filter.h"

namespace console {

namespace {

QString now() { return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs); }


}  // namespace

QString StepResultName(StepResult r) {
    switch (r) {
    case StepResult::Passed: return QStringLiteral("pass");
    case StepResult::Failed: return QStringLiteral("fail");
    case StepResult::Skipped: break;
    }
    return QStringLiteral("skipped");
}

bool CheckOutcome::passed() const {
    if (steps.empty()) return false;
    for (const CheckStep& s : steps)
        if (s.result != StepResult::Passed) return false;
    return true;
}

const CheckStep* CheckOutcome::failedStep() const {
    for (const CheckStep& s : steps)
        if (s.result == StepResult::Failed) return &s;
    return nullptr;
}

template <typename Body>
bool BoardCheck::step(CheckOutcome& outcome, const QString& name, Body body) {
    progress_.stepStarted(name);
    usb::Clock& clock = bench_.clock();
    const std::uint32_t t0 = clock.tickCount();
    QString detail;
    const bool ok = body(&detail);
    CheckStep s;
    s.name = name;
    s.result = ok ? StepResult::Passed : StepResult::Failed;
    s.detail = detail;
    s.durationMs = static_cast<std::uint32_t>(clock.tickCount() - t0);
    outcome.steps.push_back(s);
    progress_.stepFinished(s);
    return ok;
}

void BoardCheck::skip(CheckOutcome& outcome, const QString& name) {
    CheckStep s;
    s.name = name;
    s.result = StepResult::Skipped;
    s.detail = QStringLiteral("not run after an earlier failure");
    outcome.steps.push_back(s);
    progress_.stepFinished(s);
}

bool BoardCheck::devices(CheckOutcome& o, QString* detail) {
    usb::ChannelLayer& ch = bench_.channels;
    ch.ShowFTErrors = true;
    if (const usb::FT_STATUS count = ch.GetFTDeviceCount(); count != usb::FT_OK) {
        *detail = QStringLiteral("the D2XX devices could not be counted: GetFTDeviceCount") +
                  QString::fromStdString(usb::FT_StatusText(count));
        return false;
    }
    const std::uint32_t n = ch.FT_Device_Count;
    if (n > 2) {
        // Another board (or another FTDI device) is plugged in: start-up
        // would refuse it, so say what is there and how to choose.
        const std::vector<std::string> boards = usb::BoardSerials(usb::DeviceSerials(bench_.library()));
        QStringList names;
        for (const std::string& b : boards) names << QString::fromStdString(b);
        *detail = QString::number(n) + QStringLiteral(" D2XX devices present");
        if (boards.size() > 1)
            *detail += QStringLiteral(": boards ") + names.join(QStringLiteral(", ")) +
                       QStringLiteral("; choose one with --board=SERIAL");
        else
            *detail += QStringLiteral(", start-up takes one FT2232H (two devices); choose the board with --board=SERIAL");
        return false;
    }
    if (n == 0) {
        *detail = QStringLiteral("No FT2232H or no power on it");
        return false;
    }
    ch.GetFTDeviceSerialNo(0);
    o.serialA = fromDriver(ch.FT_Device_String);
    ch.GetFTDeviceDescription(0);
    o.descriptionA = fromDriver(ch.FT_Device_String);
    if (n == 2) {
        ch.GetFTDeviceSerialNo(1);
        o.serialB = fromDriver(ch.FT_Device_String);
        ch.GetFTDeviceDescription(1);
        o.descriptionB = fromDriver(ch.FT_Device_String);
    }
    o.board = o.serialA.endsWith(QLatin1Char('A')) ? o.serialA.chopped(1) : o.serialA;
    *detail = QString::number(n) + QStringLiteral(" D2XX device(s): ") + o.serialA + QStringLiteral(" (") +
              o.descriptionA + QStringLiteral(")");
    if (n == 2) *detail += QStringLiteral(", ") + o.serialB + QStringLiteral(" (") + o.descriptionB + QStringLiteral(")");
    if (n == 1) {
        *detail += QStringLiteral("; channel B is missing");
        return false;
    }
    return true;
}

bool BoardCheck::channels(CheckOutcome&, QString* detail) {
    if (const usb::FT_STATUS a = bench_.startup.OpenA(); a != usb::FT_OK) {
        *detail = QStringLiteral("channel A (I2C) did not open: FT_OpenA") + QString::fromStdString(usb::FT_StatusText(a));
        return false;
    }
    if (const usb::FT_STATUS b = bench_.startup.OpenB(); b != usb::FT_OK) {
        *detail = QStringLiteral("channel B (TS) did not open: FT_OpenB") + QString::fromStdString(usb::FT_StatusText(b));
        return false;
    }
    *detail = QStringLiteral("channel A for I2C and channel B for TS are open");
    return true;
}

bool BoardCheck::i2cSetUp(CheckOutcome&, QString* detail) {
    const I2cSetupReport r = bench_.InitI2C();
    if (!r.ok) {
        *detail = QStringLiteral("the MPSSE engine did not set up as I2C master");
        if (r.linkLoss) *detail += QStringLiteral(": I2C link lost at ") + QString::fromStdString(r.linkLoss->text());
        else *detail += QStringLiteral(": it did not answer the synchronisation");
        return false;
    }
    *detail = QStringLiteral("MPSSE I2C master at 200 kHz");
    return true;
}

bool BoardCheck::findNim(CheckOutcome& o, QString* detail) {
    struct Candidate {
        std::uint8_t address;
        const char* nim;
    };
    const Candidate candidates[] = {{frontend::DemodEardatek, "Eardatek"},
                                    {frontend::DemodSharp, "Sharp/Samsung"}};
    QStringList wrong;
    for (const Candidate& c : candidates) {
        std::uint8_t id = 0;
        if (!bench_.bus.ReadRegister(c.address, frontend::RegChipId, id)) continue;
        if (id == frontend::ChipIdSTV0903) {
            o.nim = QString::fromLatin1(c.nim);
            o.demodAddress = c.address;
            *detail = o.nim + QStringLiteral(" NIM: STV0903 at ") + frontend::Hex(c.address, 2);
            return true;
        }
        wrong << QStringLiteral("the demodulator at ") + frontend::Hex(c.address, 2) + QStringLiteral(" answers with identity ") +
                     frontend::Hex(id, 2) + QStringLiteral(", not 0x20 (STV0903)");
    }
    *detail = wrong.isEmpty() ? QStringLiteral("no demodulator answers at 0xD4 (Eardatek) or 0xD0 (Sharp/Samsung)")
                              : wrong.join(QStringLiteral("; "));
    return false;
}

bool BoardCheck::linkTest(CheckOutcome& o, QString* detail) {
    frontend::LinkTest& link = bench_.link;
    link.DemodAddress = o.demodAddress;
    const std::uint64_t nacksBefore = bench_.bus.NotAcknowledged();
    link.TestDemod();
    const frontend::LinkTestReport& r = link.Report();
    o.linkTest = r;
    o.i2cErrors = r.errors;
    const std::uint64_t retried = bench_.bus.NotAcknowledged() - nacksBefore;
    const QStringList findings = frontend::LinkTestFindings(r);
    if (!r.completed) {
        *detail = findings.join(QStringLiteral("; "));
        return false;
    }
    if (r.errors == 0 && retried == 0) {
        *detail = QStringLiteral("0 I2C errors");
        return true;
    }
    if (r.errors == 0) {
        // Every access got through on a retry: the board works today, but a
        // bus that loses acknowledges is not one to ship.
        *detail = QStringLiteral("0 I2C errors, but ") + QString::number(retried) +
                  QStringLiteral(" bytes went unacknowledged and were retried");
        return false;
    }
    *detail = QString::number(r.errors) + QStringLiteral(" I2C errors");
    if (!findings.isEmpty()) *detail += QStringLiteral(": ") + findings.mid(0, 3).join(QStringLiteral("; "));
    return false;
}

bool BoardCheck::tuner(CheckOutcome& o, QString* detail) {
    frontend::LinkTest& link = bench_.link;
    link.DemodAddress = o.demodAddress;
    const bool ok = link.SetUpTuner();
    o.linkTest = link.Report();
    *detail = ok ? QStringLiteral("tuner at 0xC0 behind the repeater set up")
                 : QStringLiteral("the tuner at 0xC0 behind the demodulator's repeater did not take its set-up");
    if (ok && o.demodAddress == frontend::DemodEardatek) *detail += QStringLiteral(" and read back");
    return ok;
}

bool BoardCheck::registers(CheckOutcome& o, QString* detail) {
    // The link test leaves its scratch register and the repeater as its
    // passes and the tuner set-up left them; writing the image again puts
    // the chip in its documented state, so a difference is the chip's.
    if (!frontend::WriteDemodDefaults(bench_.bus, o.demodAddress)) {
        *detail = QStringLiteral("the default register image could not be written again before the dump");
        return false;
    }
    o.registerRows = frontend::ReadAllRegisters(bench_.bus, o.demodAddress);
    RegisterFigures f;
    QStringList differing;
    for (const frontend::RegisterReading& r : o.registerRows) {
        ++f.registers;
        if (r.image) ++f.imaged;
        if (!r.read) ++f.failedReads;
        if (r.mismatch()) {
            ++f.differing;
            differing << QString::fromLatin1(r.name.data(), static_cast<qsizetype>(r.name.size()));
        }
    }
    o.registers = f;
    *detail = QString::number(f.registers) + QStringLiteral(" registers read, ") + QString::number(f.imaged) +
              QStringLiteral(" in the default image, ") + QString::number(f.differing) + QStringLiteral(" differ");
    if (f.failedReads > 0) *detail += QStringLiteral(", ") + QString::number(f.failedReads) + QStringLiteral(" reads failed");
    if (!differing.isEmpty()) *detail += QStringLiteral(": ") + differing.mid(0, 8).join(QStringLiteral(", "));
    return f.differing == 0 && f.failedReads == 0;
}

bool BoardCheck::signal(CheckOutcome& o, const CheckSettings& settings, QString* detail) {
    SignalMonitor monitor(bench_.bus, o.demodAddress);
    usb::Clock& clock = bench_.clock();
    SignalFigures f;
    const std::uint32_t t0 = clock.tickCount();
    f.stages = monitor.WaitForLock(settings.lockTimeoutMs);
    f.lockMs = static_cast<std::uint32_t>(clock.tickCount() - t0);
    f.locked = f.stages && f.stages->locked();
    if (!f.locked) {
        o.signal = f;
        if (bench_.bus.LinkLost()) {
            *detail = QStringLiteral("I2C link lost at ") + QString::fromStdString(bench_.bus.linkLoss()->text());
            return false;
        }
        *detail = QStringLiteral("the demodulator did not lock within ") + QString::number(settings.lockTimeoutMs) +
                  QStringLiteral(" ms (") + LockText(f.stages) + QStringLiteral(")");
        return false;
    }
    // The first reading restarts the error counters; the second counts over
    // the measuring time.
    monitor.Read();
    clock.sleepMs(SignalMeasureMs);
    f.reading = monitor.Read().reading;
    o.signal = f;
    const frontend::SignalReading& r = f.reading;

    *detail = QStringLiteral("locked in ") + QString::number(f.lockMs) + QStringLiteral(" ms: ") +
              FigureTexts(r).join(QStringLiteral(", "));

    QStringList why;
    if (!r.locked()) why << QStringLiteral("the lock was lost while measuring (") + LockText(r.stages) + QStringLiteral(")");
    auto below = [&](const std::optional<double>& limit, const std::optional<double>& value, const char* name,
                     const char* unit) {
        if (!limit) return;
        const QString asked = QString::number(*limit, 'f', 1) + QLatin1Char(' ') + QString::fromLatin1(unit);
        if (!value)
            why << QString::fromLatin1(name) + QStringLiteral(" could not be measured (at least ") + asked +
                       QStringLiteral(" asked)");
        else if (*value < *limit)
            why << QString::fromLatin1(name) + QLatin1Char(' ') + QString::number(*value, 'f', 1) + QLatin1Char(' ') +
                       QString::fromLatin1(unit) + QStringLiteral(" is below ") + asked;
    };
    below(settings.minCn, r.cnDb, "C/N", "dB");
    below(settings.minLevel, r.levelDbm, "RF level", "dBm");
    if (settings.maxBer) {
        const QString asked = QString::number(*settings.maxBer, 'e', 1);
        if (!r.errors)
            why << QStringLiteral("the error rate could not be measured (at most ") + asked + QStringLiteral(" asked)");
        else if (r.errors->rate() > *settings.maxBer || (r.errors->saturated && r.errors->rate() >= *settings.maxBer))
            why << ErrorRateText(r.errors->packets, r.errors->rate(), r.errors->saturated) +
                       QStringLiteral(" is above ") + asked;
    }
    if (why.isEmpty()) return true;
    *detail = why.join(QStringLiteral("; ")) + QStringLiteral(" (") + *detail + QStringLiteral(")");
    return false;
}

bool BoardCheck::stream(CheckOutcome& o, const CheckSettings& settings, QString* detail) {
    TsPump& pump = bench_.pump;
    usb::Clock& clock = bench_.clock();
    HeadlessPanel& panel = bench_.panel;
    // The stream runs through the window's pump, with Get TS switched off
    // as an operator would once it has streamed for the time asked.
    const std::uint32_t durationMs = static_cast<std::uint32_t>(settings.seconds) * 1000u;
    bool streaming = false;
    std::uint32_t start = 0;
    panel.onMessages = [&] {
        if (bench_.model.state().pump != PumpState::Streaming) return;
        if (!streaming) {
            streaming = true;
            start = clock.tickCount();
        }
        if (bench_.model.state().streamOn && static_cast<std::uint32_t>(clock.tickCount() - start) >= durationMs) {
            panel.SetSwitchOn(Switch::GetTSBtn, false);
            pump.GetTSBtnClick();
        }
    };
    panel.SetSwitchOn(Switch::GetTSBtn, true);
    pump.GetTSBtnClick();
    panel.onMessages = nullptr;
    const StreamReport& r = pump.LastReport();

    StreamFigures f;
    f.elapsedMs = r.elapsedUs / 1000;
    f.bytes = r.bytesRead;
    f.packets = r.packets;
    f.megabitsPerSecond = r.megabitsPerSecond;
    f.reads = r.reads;
    f.shortReads = r.shortReads;
    f.continuityErrors = r.continuityErrors;
    f.syncLosses = r.syncLosses;
    f.bytesOutsidePackets = r.bytesSkipped;
    f.end = r.end;
    f.failedCall = QString::fromStdString(r.failedCall);
    f.status = r.status;
    o.stream = f;

    *detail = QString::number(f.packets) + QStringLiteral(" packets in ") + QString::number(f.elapsedMs) +
              QStringLiteral(" ms, ") + QString::number(f.megabitsPerSecond, 'f', 2) + QStringLiteral(" Mbit/s, ") +
              QString::number(f.continuityErrors) + QStringLiteral(" continuity errors, ") +
              QString::number(f.syncLosses) + QStringLiteral(" sync losses");
    QStringList why;
    if (r.end != StreamEnd::SwitchedOff) why << StreamEndText(r);
    if (f.continuityErrors > 0) why << QString::number(f.continuityErrors) + QStringLiteral(" continuity errors");
    if (f.syncLosses > 0) why << QString::number(f.syncLosses) + QStringLiteral(" losses of packet sync");
    if (r.streamed && f.megabitsPerSecond < settings.minMegabits)
        why << QStringLiteral("rate ") + QString::number(f.megabitsPerSecond, 'f', 2) +
                   QStringLiteral(" Mbit/s is below ") + QString::number(settings.minMegabits) + QStringLiteral(" Mbit/s");
    if (f.packets == 0 && why.isEmpty()) why << QStringLiteral("no whole packet came");
    if (why.isEmpty()) return true;
    if (!r.streamed) {
        *detail = why.join(QStringLiteral("; "));
        return false;
    }
    *detail = why.join(QStringLiteral("; ")) + QStringLiteral(" (") + *detail + QStringLiteral(")");
    return false;
}

bool BoardCheck::steps(CheckOutcome& o, bool ok, const std::vector<std::pair<QString, StepBody>>& list) {
    for (const auto& [name, body] : list) {
        if (ok) {
            ok = step(o, name, body);
        } else {
            skip(o, name);
        }
    }
    return ok;
}

bool BoardCheck::setUp(CheckOutcome& o) {
    return steps(o, true,
                 {{QStringLiteral("devices"), [&](QString* d) { return devices(o, d); }},
                  {QStringLiteral("channels"), [&](QString* d) { return channels(o, d); }},
                  {QStringLiteral("I2C set-up"), [&](QString* d) { return i2cSetUp(o, d); }},
                  {QStringLiteral("NIM"), [&](QString* d) { return findNim(o, d); }}});
}

void BoardCheck::closeChannels() {
    const ConsoleState& s = bench_.model.state();
    if (s.channelA == ChannelState::Open) bench_.startup.CloseA();
    if (s.channelB == ChannelState::Open) bench_.startup.CloseB();
}

CheckOutcome BoardCheck::run(const CheckSettings& settings) {
    CheckOutcome o;
    o.startedAt = now();
    std::vector<std::pair<QString, StepBody>> rest = {
        {QStringLiteral("link test"), [&](QString* d) { return linkTest(o, d); }},
        {QStringLiteral("tuner set-up"), [&](QString* d) { return tuner(o, d); }},
        {QStringLiteral("signal"), [&](QString* d) { return signal(o, settings, d); }}};
    if (settings.dumpRegisters)
        rest.push_back({QStringLiteral("registers"), [&](QString* d) { return registers(o, d); }});
    rest.push_back({QStringLiteral("stream"), [&](QString* d) { return stream(o, settings, d); }});
    steps(o, setUp(o), rest);
    closeChannels();
    o.finishedAt = now();
    return o;
}

}  // namespace console
