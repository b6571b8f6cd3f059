// The main window on the simulated board as the operator meets it: keys go to
// the focused control, clicks to the control under the mouse, and what counts
// is what the window then shows.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include "app/board_options.h"
#include "sim/ft2232h_board.h"
#include "support/test_support.h"
#include "support/fake_network.h"
#include "support/qt_app.h"
#include "ui/main_window.h"
#include "ui/zonzoff.h"

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::qtApp();
        // Polls bounded by time end without real waiting.
        clock.stepUsPerReading = 50;
        std::string error, warning;
        ASSERT_TRUE(app::equipBoard(board, {}, clock, &error, &warning)) << error;
        form = std::make_unique<ui::TForm1>(ui::Services{board, clock, dialogs, network, [] {
            QCoreApplication::processEvents();
        }});
        form->show();  // start-up runs here: the channels open and close
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }
    void TearDown() override { form.reset(); }

    QWidget* focused() const { return form->focusWidget(); }
    // A key as the keyboard sends it: to the focused control, else the window.
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(focused() ? focused() : form.get(), key, modifiers);
    }

    testing_support::FakeClock clock;
    testing_support::RecordingDialogs dialogs;
    testing_support::FakeNetwork network;
    sim::Ft2232hBoard board{clock};
    std::unique_ptr<ui::TForm1> form;
};

// Tab and Shift+Tab walk the designed tab order through the enabled controls,
// starting from the log, which has the focus first.
TEST_F(MainWindowTest, TabWalksTheDesignedOrderFromTheLog) {
    const std::vector<QWidget*> designed{
        form->Memo1,       form->BtnOpenB, form->BtnRefresh, form->BtnCloseB,    form->BtnQuit,
        form->RecordOnOff, form->UDPOnOff, form->GetTSBtn,   form->BtnOpenA,     form->BtnCloseA,
        form->TestSharpBtn, form->TestEardaBtn, form->TestI2CBtn};
    std::vector<QWidget*> cycle;
    for (QWidget* w : designed)
        if (w->isEnabled()) cycle.push_back(w);
    ASSERT_GE(cycle.size(), 3u) << "start-up enables a few controls";
    ASSERT_EQ(focused(), form->Memo1);

    const QString logBefore = form->LogText();
    for (std::size_t i = 1; i <= cycle.size(); ++i) {
        press(Qt::Key_Tab);
        EXPECT_EQ(focused(), cycle[i % cycle.size()])
            << "Tab " << i << " went to " << (focused() ? focused()->objectName().toStdString() : "nothing");
    }
    ASSERT_EQ(focused(), form->Memo1);
    for (std::size_t i = 1; i <= cycle.size(); ++i) {
        press(Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_EQ(focused(), cycle[(cycle.size() - i) % cycle.size()]) << "Shift+Tab " << i;
    }
    EXPECT_EQ(form->LogText(), logBefore) << "Tab typed into the log";
}

// Qt folds separators that have nothing above them; this menu shows both.
TEST_F(MainWindowTest, FileMenuShowsTwoSeparatorLinesAboveExit) {
    QMenuBar* bar = form->menuBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(form->File1->menuAction()).center());
    ASSERT_TRUE(form->File1->isVisible());
    const QRect n1 = form->File1->actionGeometry(form->N1);
    const QRect n2 = form->File1->actionGeometry(form->N2);
    const QRect exit = form->File1->actionGeometry(form->Exit1);
    EXPECT_GT(n1.height(), 0);
    EXPECT_GT(n2.height(), 0);
    EXPECT_LE(n1.bottom(), n2.top());
    EXPECT_LE(n2.bottom(), exit.top());

    // Each separator's band holds a drawn line: pixels that differ from the
    // menu's background at its left edge.
    const QImage img = form->File1->grab().toImage();
    for (const QRect& band : {n1, n2}) {
        bool line = false;
        const QRgb background = img.pixel(1, band.top());
        for (int y = band.top(); y <= band.bottom() && !line; ++y)
            line = img.pixel(band.center().x(), y) != background;
        EXPECT_TRUE(line) << "no line in the separator at y " << band.top();
    }
    form->File1->hide();
}

// The error total's label grows with its text: "????????" after a failed
// link test is shown whole, not cut to the width of "0000".
TEST_F(MainWindowTest, ErrorTotalLabelSizesItselfToItsText) {
    ASSERT_TRUE(form->TestI2CBtn->isEnabled());
    QTest::mouseClick(form->TestI2CBtn, Qt::LeftButton);
    ASSERT_TRUE(form->TestSharpBtn->isEnabled()) << form->LogText().toStdString();
    // The simulated board has the Eardatek NIM: nothing answers at 0xD0.
    QTest::mouseClick(form->TestSharpBtn, Qt::LeftButton);
    QCoreApplication::processEvents();
    QLabel* label = form->NbI2CerrorsTxt;
    ASSERT_EQ(label->text(), "????????");
    const QFontMetrics metrics(label->font());
    EXPECT_GE(label->width(), metrics.horizontalAdvance(label->text()));
    EXPECT_EQ(label->size(), label->sizeHint());
    EXPECT_EQ(label->pos(), QPoint(463, 387));

    // The other labels follow their captions too, shorter ones included.
    form->TsStatus->setText("Open");
    QCoreApplication::processEvents();
    EXPECT_EQ(form->TsStatus->size(), form->TsStatus->sizeHint());
}

// A button that disables itself keeps Qt from handing the focus on to the
// next control: after Open TS fifo that would be Get TS, after Close TS fifo
// Quit, and the operator's next Return or Space would press it.
TEST_F(MainWindowTest, DisablingTheFocusedButtonHandsTheFocusToNoControlAKeyWouldPress) {
    auto pressable = [](QWidget* w) {
        return w && w->isEnabled() &&
               (qobject_cast<QAbstractButton*>(w) || qobject_cast<ui::TzcLightOnOff*>(w));
    };
    ASSERT_TRUE(form->BtnOpenB->isEnabled());
    QTest::mouseClick(form->BtnOpenB, Qt::LeftButton);
    ASSERT_TRUE(form->GetTSBtn->isEnabled()) << "the fifo opened";
    ASSERT_FALSE(pressable(focused())) << focused()->objectName().toStdString();
    press(Qt::Key_Return);
    press(Qt::Key_Space);
    EXPECT_FALSE(form->GetTSBtn->SwitchOn());

    QTest::mouseClick(form->BtnCloseB, Qt::LeftButton);
    ASSERT_TRUE(form->BtnOpenB->isEnabled()) << "the fifo closed";
    ASSERT_FALSE(pressable(focused())) << focused()->objectName().toStdString();
    press(Qt::Key_Return);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->BtnOpenB->isEnabled());

    // Tab picks the focus up again.
    press(Qt::Key_Tab);
    EXPECT_TRUE(focused() != nullptr);
}

}  // namespace
