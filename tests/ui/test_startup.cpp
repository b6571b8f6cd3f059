#include <gtest/gtest.h>

#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>

#include "sim/ft2232h_board.h"
#include "support/test_support.h"
#include "support/fake_network.h"
#include "support/qt_app.h"
#include "ui/main_window.h"
#include "ui/zonzoff.h"

using namespace testing_support;

namespace {

struct StartupTest : ::testing::Test {
    FakeClock clock;
    RecordingDialogs dialogs;
    FakeNetwork network;
    sim::Ft2232hBoard board{clock};
    std::unique_ptr<ui::TForm1> form;

    StartupTest() { qtApp(); }

    ui::TForm1& start(std::uint32_t devices = 2, std::vector<std::string> fails = {}) {
        board.setDeviceCount(devices);
        for (const auto& f : fails) board.addFault(*sim::parseCallFault(f));
        form = std::make_unique<ui::TForm1>(
            ui::Services{board, clock, dialogs, network, [] { QCoreApplication::processEvents(); }});
        form->show();
        return *form;
    }

    QStringList log() const { return form->LogText().split('\n'); }
};

const QString separator(74, '=');

}  // namespace

TEST_F(StartupTest, TwoDevicesOpenChannelAAndOpenAndCloseChannelB) {
    ui::TForm1& f = start();
    const QStringList expected = {
        "FT2232H  I2C is open",
        "FT2232H FIFO open for TS",
        QString::fromUtf8("For I2C,we will use device N° VB2232H1A named: Dual RS232-HS A"),
        QString::fromUtf8("For TS,we will use device N° VB2232H1B named: Dual RS232-HS B"),
        "FT2232H FIFO closed for TS",
        separator,
        "------ IP and UDP detection ------",
        QString::fromUtf8("IP n° 1 = 127.0.0.1"),
        "UDP address : 127.0.0.1 port : 1234 using IP interface : 127.0.0.1",
        separator,
    };
    EXPECT_EQ(log(), expected);
    EXPECT_EQ(f.windowTitle(), "Test My Vesperbox v1.0a    D2XX test - 2 USB Device(s) Present ...");
    EXPECT_TRUE(dialogs.errors.empty());
    EXPECT_TRUE(f.Console.DevicePresent());
    EXPECT_TRUE(board.isOpen(0));
    EXPECT_FALSE(board.isOpen(1));
    EXPECT_TRUE(f.I2C.ChannelAOpen);
    EXPECT_EQ(f.I2Cstatus->text(), "Open");
    EXPECT_EQ(f.TsStatus->text(), "Closed");

    // The enabled states the operator then sees.
    EXPECT_FALSE(f.BtnOpenA->isEnabled());
    EXPECT_TRUE(f.BtnCloseA->isEnabled());
    EXPECT_TRUE(f.TestI2CBtn->isEnabled());
    EXPECT_FALSE(f.TestSharpBtn->isEnabled());
    EXPECT_FALSE(f.TestEardaBtn->isEnabled());
    EXPECT_TRUE(f.BtnOpenB->isEnabled());
    EXPECT_FALSE(f.BtnCloseB->isEnabled());
    EXPECT_FALSE(f.GetTSBtn->isEnabled());
    EXPECT_FALSE(f.BtnRefresh->isEnabled());
    EXPECT_TRUE(f.BtnQuit->isEnabled());  // the last handler run was Close B
}

TEST_F(StartupTest, NoDeviceOrThreeDevicesLeaveEveryChannelButtonDisabled) {
    for (std::uint32_t devices : {0u, 3u}) {
        ui::TForm1& f = start(devices);
        EXPECT_EQ(log(), QStringList({"No FT2232H or no power on it", separator})) << devices;
        EXPECT_EQ(f.windowTitle(), QString("Test My Vesperbox v1.0a    D2XX test - %1 USB Device(s) "
                                           "Present ...").arg(devices));
        EXPECT_FALSE(f.Console.DevicePresent());
        for (QWidget* w : {static_cast<QWidget*>(f.BtnOpenA), static_cast<QWidget*>(f.BtnCloseA),
                           static_cast<QWidget*>(f.BtnOpenB), static_cast<QWidget*>(f.BtnCloseB),
                           static_cast<QWidget*>(f.TestI2CBtn), static_cast<QWidget*>(f.GetTSBtn)})
            EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
        EXPECT_TRUE(f.BtnRefresh->isEnabled());
        EXPECT_TRUE(f.BtnQuit->isEnabled());
        EXPECT_EQ(network.lastClient, nullptr);  // no UDP set-up without the board
        EXPECT_FALSE(board.isOpen(0));
    }
}

TEST_F(StartupTest, OneDeviceRepeatsTheLastTextForTheMissingChannel) {
    start(1);
    const QStringList lines = log();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], "FT2232H  I2C is open");
    EXPECT_EQ(lines[1], QString::fromUtf8("For I2C,we will use device N° VB2232H1A named: Dual RS232-HS A"));
    EXPECT_EQ(lines[2], QString::fromUtf8("For TS,we will use device N° Dual RS232-HS A named: Dual RS232-HS A"));
    EXPECT_EQ(lines[3], "FT2232H FIFO closed for TS");
    // Serial and description of device 1, FT_OpenB, its detail and the close.
    const std::vector<std::string> expected = {
        "GetFTDeviceSerialNo - Device not found...",
        "GetFTDeviceDescription - Device not found...",
        "FT_OpenB - Device not found...",
        "FT_GetDeviceInfoListDetail - Device not found...",
        "FT_CloseB - Invalid handle...",
    };
    EXPECT_EQ(dialogs.errors, expected);
}

TEST_F(StartupTest, FailedOpenOfChannelBStillClosesItAndEnablesOpen) {
    ui::TForm1& f = start(2, {"FT_Open:1=3"});
    EXPECT_FALSE(log().contains("FT2232H FIFO open for TS"));
    EXPECT_TRUE(log().contains("FT2232H FIFO closed for TS"));
    EXPECT_TRUE(f.BtnOpenB->isEnabled());
    EXPECT_EQ(dialogs.errors.front(), "FT_OpenB - Device not opened...");
}

TEST_F(StartupTest, FailedOpenOfChannelALeavesItUnreachableForTheRun) {
    ui::TForm1& f = start(2, {"FT_Open:0=2"});
    EXPECT_FALSE(log().contains("FT2232H  I2C is open"));
    EXPECT_FALSE(f.BtnOpenA->isEnabled());
    EXPECT_FALSE(f.TestI2CBtn->isEnabled());
    EXPECT_FALSE(f.I2C.ChannelAOpen);
    EXPECT_EQ(f.I2Cstatus->text(), "unknown");
}

TEST_F(StartupTest, ChannelButtonsFollowTheEnableTable) {
    ui::TForm1& f = start();
    f.BtnOpenB->click();
    EXPECT_TRUE(board.isOpen(1));
    EXPECT_EQ(f.TsStatus->text(), "Open");
    EXPECT_FALSE(f.BtnOpenB->isEnabled());
    EXPECT_TRUE(f.BtnCloseB->isEnabled());
    EXPECT_TRUE(f.GetTSBtn->isEnabled());
    EXPECT_FALSE(f.BtnQuit->isEnabled());

    f.BtnCloseA->click();
    EXPECT_FALSE(board.isOpen(0));
    EXPECT_FALSE(f.I2C.ChannelAOpen);
    EXPECT_EQ(f.I2Cstatus->text(), "Closed");
    EXPECT_TRUE(f.BtnOpenA->isEnabled());
    EXPECT_FALSE(f.BtnCloseA->isEnabled());
    EXPECT_FALSE(f.TestI2CBtn->isEnabled());
    EXPECT_TRUE(f.BtnQuit->isEnabled());
    EXPECT_EQ(log().last(), "FT2232H  I2C is closed");

    // Reopening after a successful set-up enables the NIM buttons at once.
    f.Model.update([](console::ConsoleState& s) { s.i2cReady = true; });
    f.BtnOpenA->click();
    EXPECT_TRUE(f.TestSharpBtn->isEnabled());
    EXPECT_TRUE(f.TestEardaBtn->isEnabled());
    EXPECT_FALSE(f.BtnRefresh->isEnabled());
    EXPECT_TRUE(dialogs.errors.empty());
}

TEST_F(StartupTest, RefreshReplacesTheWholeCaption) {
    ui::TForm1& f = start(0);
    board.setDeviceCount(2);
    f.BtnRefresh->click();
    EXPECT_EQ(f.windowTitle(), "D2XX test - 2 Device(s) Present ...");
    EXPECT_TRUE(f.BtnRefresh->toolTip().contains("Device 2\tVB2232H1B\tDual RS232-HS B"));
    board.setDeviceCount(0);
    f.BtnRefresh->click();
    EXPECT_EQ(f.windowTitle(), "D2XX test - 0 Device(s) Present ...");
    EXPECT_EQ(board.isOpen(0), false);  // Refresh opens nothing
}

TEST_F(StartupTest, ExitClosesTheOpenChannelsOnly) {
    ui::TForm1& f = start();
    const auto closesBefore = board.callCount("FT_Close");
    const auto errorsBefore = dialogs.errors.size();
    f.Exit1->trigger();
    // Channel B was closed by the start-up: only A is closed, and no dialog
    // says "Invalid handle" for a close nobody needed.
    EXPECT_EQ(board.callCount("FT_Close"), closesBefore + 1);
    EXPECT_FALSE(board.isOpen(0));
    EXPECT_EQ(dialogs.errors.size(), errorsBefore);
    EXPECT_FALSE(f.isVisible());
}

TEST_F(StartupTest, TypingIntoTheLogChangesNothingAndCtrlXStillExits) {
    ui::TForm1& f = start();
    const QString before = f.LogText();
    f.Memo1->setFocus();
    for (auto [key, text] : std::initializer_list<std::pair<int, const char*>>{
             {Qt::Key_A, "a"}, {Qt::Key_Backspace, "\b"}, {Qt::Key_Return, "\r"},
             {Qt::Key_Delete, ""}, {Qt::Key_Space, " "}}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString::fromLatin1(text));
        QCoreApplication::sendEvent(f.Memo1, &press);
    }
    QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier, "\x16");
    QCoreApplication::sendEvent(f.Memo1, &paste);
    EXPECT_EQ(f.LogText(), before);

    QKeyEvent ctrlX(QEvent::ShortcutOverride, Qt::Key_X, Qt::ControlModifier, "\x18");
    QCoreApplication::sendEvent(f.Memo1, &ctrlX);
    EXPECT_FALSE(ctrlX.isAccepted());  // left to File > Exit
    EXPECT_EQ(f.Exit1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_X));
}

TEST_F(StartupTest, DesignedLayoutAndMenu) {
    ui::TForm1& f = start();
    EXPECT_EQ(f.Panel1->size(), QSize(593, 655));
    EXPECT_EQ(f.Memo1->geometry(), QRect(1, 0, 584, 381));
    EXPECT_EQ(f.TestSharpBtn->geometry(), QRect(222, 413, 145, 38));
    EXPECT_EQ(f.GetTSBtn->geometry(), QRect(95, 496, 39, 57));
    EXPECT_EQ(f.UDPOnOff->geometry(), QRect(52, 592, 35, 57));
    EXPECT_EQ(f.LedI2C->geometry(), QRect(0, 417, 33, 33));
    EXPECT_FALSE(f.LedVerte->isVisible());
    EXPECT_FALSE(f.LampIsGreen(f.LedI2C));
    EXPECT_EQ(f.StatusPanels[0]->width(), 200);
    EXPECT_EQ(f.StatusPanels[2]->width(), 50);
    EXPECT_EQ(f.Memo1->font().pixelSize(), 11);
    EXPECT_TRUE(f.Memo1->font().bold());
    EXPECT_EQ(f.Label4->font().pixelSize(), 16);

    const QList<QAction*> file = f.File1->actions();
    ASSERT_EQ(file.size(), 3);
    EXPECT_TRUE(file[0]->isSeparator());
    EXPECT_TRUE(file[1]->isSeparator());
    EXPECT_EQ(file[2], f.Exit1);
    ASSERT_EQ(f.Help1->actions().size(), 1);
    f.About1->trigger();  // bound to nothing
    EXPECT_TRUE(f.isVisible());

    // Enlarging the window moves nothing.
    f.resize(900, 900);
    EXPECT_EQ(f.BtnQuit->geometry(), QRect(477, 593, 67, 39));

    // A lit lamp stays green when its channel closes.
    f.LightLamp(f.LedI2C);
    f.BtnCloseA->click();
    EXPECT_TRUE(f.LampIsGreen(f.LedI2C));
}
