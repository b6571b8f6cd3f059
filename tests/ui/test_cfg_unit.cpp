#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QImage>
#include <QFontMetrics>
#include <QTest>
#include <QTimer>

#include "ui/cfg_unit.h"
#include "usb/serial_settings.h"

namespace {

// Shared with the other widget tests of this binary: whoever comes first
// creates the application object. It is never deleted: destroyed among the
// static objects at exit it would outlive parts of Qt it still refers to.
QApplication& app() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_ui";
    static char* argv[] = {name, nullptr};
    static QApplication* const instance = new QApplication(argc, argv);
    return *instance;
}

class SetupFormTest : public ::testing::Test {
protected:
    QApplication& application = app();  // before any widget
    usb::SerialSettings settings;
    ui::TSetupForm form{settings};
};

void pressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &press);
    QCoreApplication::sendEvent(target, &release);
}

TEST(HexPairToByte, DigitsCaseAndFailures) {
    std::uint8_t out = 0x55;
    EXPECT_TRUE(ui::HexPairToByte("ff", out));
    EXPECT_EQ(out, 0xFF);
    EXPECT_TRUE(ui::HexPairToByte("A0", out));
    EXPECT_EQ(out, 0xA0);
    EXPECT_TRUE(ui::HexPairToByte("09", out));
    EXPECT_EQ(out, 0x09);

    for (const char* bad : {"1G", "G1", "", "1", "_1", " 1", "0x"}) {
        out = 0x55;
        EXPECT_FALSE(ui::HexPairToByte(bad, out)) << bad;
        EXPECT_EQ(out, 0) << bad;
    }
}

TEST_F(SetupFormTest, OkWithInitialContents) {
    form.Button1->click();

    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(settings.SerialBaudRate, 115200u);
    EXPECT_EQ(settings.SerialDataBits, 8);
    EXPECT_EQ(settings.SerialStopBits, 0);
    EXPECT_EQ(settings.SerialParity, 0);
    EXPECT_EQ(settings.SerialFlowControl, 0x0000);
    EXPECT_TRUE(settings.SerialRtsOn);
    EXPECT_TRUE(settings.SerialDtrOn);
    EXPECT_FALSE(settings.SerialEventCharOn);
    EXPECT_FALSE(settings.SerialErrorCharOn);
    EXPECT_EQ(settings.SerialXonChar, 0x11);
    EXPECT_EQ(settings.SerialXoffChar, 0x13);
    EXPECT_EQ(settings.SerialEventChar, 0x00);
    EXPECT_EQ(settings.SerialErrorChar, 0x00);
    EXPECT_FALSE(settings.SerialSettingsError);
}

TEST_F(SetupFormTest, EveryListChoiceMapsToItsCode) {
    ASSERT_EQ(form.BaudSelect->count(), 13);
    EXPECT_EQ(form.BaudSelect->itemText(0), "300");
    EXPECT_EQ(form.BaudSelect->itemText(12), "921,600");
    form.BaudSelect->setCurrentText("1,200");
    form.DataBits->setCurrentText("7 bits");
    form.StopBits->setCurrentText("2 bits");
    form.Parity->setCurrentText("Space");
    form.FlowControl->setCurrentText("X-On/X-Off");
    form.Button1Click(form.Button1);

    EXPECT_EQ(settings.SerialBaudRate, 1200u);
    EXPECT_EQ(settings.SerialDataBits, 7);
    EXPECT_EQ(settings.SerialStopBits, 2);
    EXPECT_EQ(settings.SerialParity, 4);
    EXPECT_EQ(settings.SerialFlowControl, 0x0400);
    EXPECT_FALSE(settings.SerialSettingsError);
}

TEST_F(SetupFormTest, UnknownListTextFlagsAndKeepsPreviousValue) {
    form.BaudSelect->setCurrentText("9,600");
    form.Button1Click(form.Button1);
    ASSERT_EQ(settings.SerialBaudRate, 9600u);

    form.BaudSelect->setCurrentText("115200");
    form.Parity->setCurrentText("odd");  // case counts
    form.StopBits->setCurrentText("2 bits");
    form.Button1Click(form.Button1);

    EXPECT_TRUE(settings.SerialSettingsError);
    EXPECT_EQ(settings.SerialBaudRate, 9600u);
    EXPECT_EQ(settings.SerialParity, 0);
    // What did parse is still stored, and the dialog still closes with OK.
    EXPECT_EQ(settings.SerialStopBits, 2);
    EXPECT_EQ(form.result(), QDialog::Accepted);
}

TEST_F(SetupFormTest, CharacterFields) {
    form.XON_Val->setText("ff");
    form.XOFF_Val->setText("1G");
    form.Button1Click(form.Button1);
    EXPECT_EQ(settings.SerialXonChar, 0xFF);
    EXPECT_EQ(settings.SerialXoffChar, 0x00);
    EXPECT_TRUE(settings.SerialSettingsError);

    // A field with an empty position fails the same way.
    form.XOFF_Val->setText("1");
    form.Button1Click(form.Button1);
    EXPECT_EQ(settings.SerialXoffChar, 0x00);
    EXPECT_TRUE(settings.SerialSettingsError);
}

TEST_F(SetupFormTest, SecondOkClearsTheFlagFirst) {
    form.XON_Val->setText("ZZ");
    form.Button1Click(form.Button1);
    ASSERT_TRUE(settings.SerialSettingsError);

    form.XON_Val->setText("11");
    form.Button1Click(form.Button1);
    EXPECT_FALSE(settings.SerialSettingsError);
    EXPECT_EQ(settings.SerialXonChar, 0x11);
}

TEST_F(SetupFormTest, CancelChangesNothing) {
    settings.SerialSettingsError = true;
    settings.SerialBaudRate = 4800;
    const usb::SerialSettings before = settings;

    form.BaudSelect->setCurrentText("300");
    form.RTS_On->setChecked(false);
    form.XON_Val->setText("AB");
    form.Button2->click();

    EXPECT_EQ(form.result(), QDialog::Rejected);
    EXPECT_EQ(settings.SerialSettingsError, before.SerialSettingsError);
    EXPECT_EQ(settings.SerialBaudRate, before.SerialBaudRate);
    EXPECT_EQ(settings.SerialRtsOn, before.SerialRtsOn);
    EXPECT_EQ(settings.SerialXonChar, before.SerialXonChar);
}

TEST_F(SetupFormTest, CheckBoxesEnableTheirFieldsWhichAreParsedAnyway) {
    EXPECT_FALSE(form.Event_Val->isEnabled());
    EXPECT_FALSE(form.Label9->isEnabled());
    EXPECT_FALSE(form.Error_Val->isEnabled());
    EXPECT_FALSE(form.Label10->isEnabled());

    form.Event_On->click();
    EXPECT_TRUE(form.Event_Val->isEnabled());
    EXPECT_TRUE(form.Label9->isEnabled());
    EXPECT_FALSE(form.Error_Val->isEnabled());
    form.Event_On->click();
    EXPECT_FALSE(form.Event_Val->isEnabled());
    EXPECT_FALSE(form.Label9->isEnabled());

    form.Error_On->setChecked(true);
    EXPECT_TRUE(form.Error_Val->isEnabled());
    EXPECT_TRUE(form.Label10->isEnabled());

    form.Event_Val->setText("7E");
    form.Error_Val->setText("q1");
    form.Button1Click(form.Button1);
    EXPECT_FALSE(settings.SerialEventCharOn);
    EXPECT_EQ(settings.SerialEventChar, 0x7E);
    EXPECT_TRUE(settings.SerialErrorCharOn);
    EXPECT_EQ(settings.SerialErrorChar, 0x00);
    EXPECT_TRUE(settings.SerialSettingsError);
}

TEST_F(SetupFormTest, LayoutAndNames) {
    EXPECT_EQ(form.windowTitle(), "Configuration Options");
    EXPECT_EQ(form.size(), QSize(556, 273));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(form.font().pixelSize(), 11);
    EXPECT_EQ(form.GroupBox3->title(), " Special Chars ");
    EXPECT_EQ(form.GroupBox3->font().pixelSize(), 13);
    EXPECT_EQ(form.XON_Val->font().pixelSize(), 13);
    EXPECT_EQ(form.GroupBox2->geometry(), QRect(200, 16, 201, 185));
    EXPECT_EQ(form.Event_On->geometry(), QRect(128, 96, 17, 17));
    EXPECT_EQ(form.Event_On->parentWidget(), form.GroupBox3);
    EXPECT_EQ(form.Button2->geometry(), QRect(320, 216, 97, 33));
    EXPECT_EQ(form.findChild<QComboBox*>("FlowControl"), form.FlowControl);
    EXPECT_EQ(form.findChild<QLabel*>("Label11")->text(), "X-Off");
    EXPECT_EQ(form.XON_Val->displayText(), "11");
    form.XON_Val->setText("");
    EXPECT_EQ(form.XON_Val->displayText(), "__");
}

TEST_F(SetupFormTest, TabOrder) {
    const QWidget* expected[] = {form.Button1,  form.BaudSelect, form.DataBits, form.StopBits,
                                 form.Parity,   form.FlowControl, form.RTS_On,  form.DTR_On,
                                 form.Event_On, form.Error_On,   form.XON_Val, form.XOFF_Val,
                                 form.Event_Val, form.Error_Val, form.Button2};
    const QWidget* w = form.Button1;
    for (std::size_t i = 1; i < std::size(expected); ++i) {
        w = w->nextInFocusChain();
        // Skip the editable lists' inner line edits and any other helper child.
        while (w->parentWidget() != nullptr && std::find(std::begin(expected), std::end(expected), w) ==
                                                   std::end(expected)) {
            w = w->nextInFocusChain();
        }
        EXPECT_EQ(w, expected[i]) << "position " << i;
    }
}

TEST_F(SetupFormTest, EnterAndEscapeDoNotClose) {
    form.show();
    ASSERT_TRUE(form.isVisible());
    for (QWidget* target : {static_cast<QWidget*>(&form), static_cast<QWidget*>(form.Button1),
                            static_cast<QWidget*>(form.BaudSelect)}) {
        for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
            pressKey(target, key);
            EXPECT_TRUE(form.isVisible()) << target->objectName().toStdString() << " key " << key;
        }
    }
    EXPECT_FALSE(settings.SerialSettingsError);
    EXPECT_EQ(settings.SerialBaudRate, 0u);  // OK was not pressed

    // Enter in a list's text does not add what was typed as a new choice.
    form.BaudSelect->setEditText("115200");
    pressKey(form.BaudSelect->lineEdit(), Qt::Key_Return);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.BaudSelect->count(), 13);
    EXPECT_EQ(form.BaudSelect->findText("115200"), -1);

    // The close box still ends the dialog, as Cancel.
    form.close();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), QDialog::Rejected);
}

TEST_F(SetupFormTest, ModalRunReturnsOkAndKeepsChoicesForNextShowing) {
    form.Parity->setCurrentText("Even");
    QTimer::singleShot(0, form.Button1, &QPushButton::click);
    EXPECT_EQ(form.exec(), QDialog::Accepted);
    EXPECT_EQ(settings.SerialParity, 2);

    QTimer::singleShot(0, form.Button2, &QPushButton::click);
    EXPECT_EQ(form.exec(), QDialog::Rejected);
    EXPECT_EQ(form.Parity->currentText(), "Even");
}

}  // namespace

// What the operator types into a list is what OK compares: no completion, no
// case correction, also when Enter is pressed in the list.
TEST_F(SetupFormTest, TypedListTextStaysAsTyped) {
    form.show();
    struct Case {
        QComboBox* list;
        const char* typed;
    };
    const Case cases[] = {{form.Parity, "even"}, {form.BaudSelect, "9"}, {form.FlowControl, "x-on"},
                          {form.DataBits, "7 BITS"}};
    for (const Case& c : cases) {
        c.list->setFocus();
        c.list->lineEdit()->selectAll();
        QTest::keyClicks(c.list->lineEdit(), c.typed);
        QTest::keyClick(c.list->lineEdit(), Qt::Key_Return);
        EXPECT_EQ(c.list->currentText(), c.typed);
    }
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_TRUE(settings.SerialSettingsError);
    EXPECT_EQ(settings.SerialParity, 0);
    EXPECT_EQ(settings.SerialBaudRate, 0u);
    EXPECT_EQ(settings.SerialFlowControl, 0);
    EXPECT_EQ(settings.SerialDataBits, 0);

    // A choice typed exactly is still taken.
    form.show();
    form.Parity->lineEdit()->selectAll();
    QTest::keyClicks(form.Parity->lineEdit(), "Even");
    form.BaudSelect->lineEdit()->selectAll();
    QTest::keyClicks(form.BaudSelect->lineEdit(), "9,600");
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_EQ(settings.SerialParity, 2);
    EXPECT_EQ(settings.SerialBaudRate, 9600u);
}

// The check boxes have no caption; their whole designed rectangle takes the
// click, the empty part right of the indicator and the far corner included.
TEST_F(SetupFormTest, CheckBoxesToggleAnywhereInTheirRectangle) {
    form.show();
    struct Case {
        QCheckBox* box;
        QSize designed;
    };
    for (const Case& c : {Case{form.RTS_On, {97, 17}}, Case{form.DTR_On, {97, 17}},
                          Case{form.Event_On, {17, 17}}, Case{form.Error_On, {17, 17}}}) {
        ASSERT_EQ(c.box->size(), c.designed);
        for (const QPoint at : {QPoint(c.designed.width() - 1, c.designed.height() - 1),
                                QPoint(c.designed.width() - 2, 1), QPoint(c.designed.width() / 2, 8)}) {
            const bool before = c.box->isChecked();
            QTest::mouseClick(c.box, Qt::LeftButton, {}, at);
            EXPECT_NE(c.box->isChecked(), before) << c.box->objectName().toStdString() << " at "
                                                  << at.x() << "," << at.y();
        }
    }
    // Event_On followed its clicks: three toggles from clear leave it checked.
    EXPECT_TRUE(form.Event_Val->isEnabled());
}

namespace {

bool isInk(QRgb rgb) { return qGray(rgb) < 96; }

}  // namespace

// The caption sits on the frame's top line, at the top of the box: the line
// runs through the caption's height and stops at the caption.
TEST_F(SetupFormTest, GroupCaptionsSitOnTheFrameLine) {
    form.show();
    for (QGroupBox* box : {form.GroupBox1, form.GroupBox2, form.GroupBox3}) {
        const QImage img = box->grab().toImage();
        const std::string name = box->objectName().toStdString();
        const QFontMetrics metrics(box->font());
        const int captionRight = 8 + metrics.horizontalAdvance(box->title());
        // The top line: the first row whose run right of the caption is all
        // frame shadow.
        const QRgb shadow = box->palette().color(QPalette::Dark).rgb();
        int lineY = -1;
        for (int y = 0; y < img.height() && lineY < 0; ++y) {
            bool line = true;
            for (int x = captionRight + 4; x < img.width() - 4; ++x)
                line = line && (img.pixel(x, y) & 0xFFFFFF) == (shadow & 0xFFFFFF);
            if (line) lineY = y;
        }
        ASSERT_GE(lineY, 0) << name;
        // Ink of the caption above and below the line, none on the line
        // beside the caption's first pixels (the caption's background hides it).
        int inkTop = img.height(), inkBottom = -1;
        for (int y = 0; y < metrics.height() + 4 && y < img.height(); ++y)
            for (int x = 8; x < captionRight; ++x)
                if (isInk(img.pixel(x, y))) {
                    inkTop = std::min(inkTop, y);
                    inkBottom = std::max(inkBottom, y);
                }
        EXPECT_LT(inkTop, lineY) << name;
        EXPECT_GT(inkBottom, lineY) << name;
        EXPECT_LE(inkTop, 3) << name << ": the caption starts at the box's top";
    }
}
