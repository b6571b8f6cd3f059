#include "ui/cfg_unit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPaintEvent>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStringList>

#include <array>
#include <string_view>
#include <utility>

namespace ui {
namespace {

template <typename T>
struct Choice {
    std::string_view text;
    T value;
};

// The lists show exactly these texts, in this order, and OK accepts nothing
// else: the operator may type into a list, and a typed "115200" is not a
// choice.
constexpr std::array<Choice<std::uint32_t>, 13> BaudChoices{{
    {"300", 300},         {"600", 600},         {"1,200", 1200},     {"2,400", 2400},
    {"4,800", 4800},      {"9,600", 9600},      {"19,200", 19200},   {"38,400", 38400},
    {"57,600", 57600},    {"115,200", 115200},  {"230,400", 230400}, {"460,800", 460800},
    {"921,600", 921600},
}};
constexpr std::array<Choice<std::uint8_t>, 2> DataBitsChoices{{{"7 bits", 7}, {"8 bits", 8}}};
// D2XX stop-bit codes: 1 stands for one and a half, which the lists do not offer.
constexpr std::array<Choice<std::uint8_t>, 2> StopBitsChoices{{{"1 bit", 0}, {"2 bits", 2}}};
constexpr std::array<Choice<std::uint8_t>, 5> ParityChoices{{
    {"None", 0}, {"Odd", 1}, {"Even", 2}, {"Mark", 3}, {"Space", 4},
}};
constexpr std::array<Choice<std::uint16_t>, 4> FlowControlChoices{{
    {"None", 0x0000}, {"RTS/CTS", 0x0100}, {"DTR/DSR", 0x0200}, {"X-On/X-Off", 0x0400},
}};

QString toQString(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

template <typename T, std::size_t N>
QStringList choiceTexts(const std::array<Choice<T>, N>& choices) {
    QStringList texts;
    for (const auto& choice : choices) texts << toQString(choice.text);
    return texts;
}

// Exact, case-sensitive match; the setting is written only on a match.
template <typename T, std::size_t N>
void parseChoice(const QComboBox* list, const std::array<Choice<T>, N>& choices, T& setting,
                 bool& error) {
    const QString text = list->currentText();
    for (const auto& choice : choices) {
        if (text == toQString(choice.text)) {
            setting = choice.value;
            return;
        }
    }
    error = true;
}

int hexDigitValue(QChar c) {
    if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) return c.unicode() - '0';
    if (c >= QLatin1Char('A') && c <= QLatin1Char('F')) return c.unicode() - 'A' + 10;
    return -1;
}

QFont dialogFont(int pixelSize) {
    QFont font;
    // The dialog was laid out for MS Sans Serif; the fallbacks keep the
    // captions inside their controls where that font is missing.
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans")});
    font.setPixelSize(pixelSize);
    return font;
}

// A group box drawn the classic way: an etched frame whose top line runs
// through the middle of the caption, and the caption on it at the box's top,
// with the face colour behind it so that the line stops at the text. Qt's own
// styles put the caption above the frame, which moves the frame down.
class CaptionedBox : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        const QFontMetrics metrics(font());
        const int lineY = metrics.height() / 2 - 1;
        const QRect frame(0, lineY, width(), height() - lineY);
        const QColor shadow = palette().color(QPalette::Dark);
        const QColor light = palette().color(QPalette::Light);
        // Etched: a shadow rectangle with a light one one pixel to the lower right.
        painter.setPen(light);
        painter.drawRect(frame.adjusted(1, 1, -1, -1));
        painter.setPen(shadow);
        painter.drawRect(frame.adjusted(0, 0, -2, -2));
        if (title().isEmpty()) return;
        const QRect caption(8, 0, metrics.horizontalAdvance(title()), metrics.height());
        painter.fillRect(caption, palette().color(QPalette::Window));
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                       QPalette::WindowText));
        painter.drawText(caption, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, title());
    }
};

// A check box without a caption takes a click anywhere in its rectangle, not
// only on the indicator Qt's styles would limit it to.
class WholeCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

QGroupBox* makeGroupBox(QWidget* parent, const char* name, const QString& title, QRect geometry) {
    auto* box = new CaptionedBox(title, parent);
    box->setObjectName(QLatin1String(name));
    box->setFont(dialogFont(13));
    box->setGeometry(geometry);
    return box;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& caption, QPoint at) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QLatin1String(name));
    label->adjustSize();
    label->move(at);
    return label;
}

template <typename T, std::size_t N>
QComboBox* makeList(QWidget* parent, const char* name, const std::array<Choice<T>, N>& choices,
                    std::string_view initial, QRect geometry) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QLatin1String(name));
    list->setEditable(true);
    // What the operator types stays as typed: no completion and no case
    // correction, since OK compares the text with the choices exactly. With no
    // completer Qt also matches Enter's text case-sensitively.
    list->setCompleter(nullptr);
    // Pressing Enter in the text must not add the typed text as a new choice.
    list->setInsertPolicy(QComboBox::NoInsert);
    list->addItems(choiceTexts(choices));
    list->setCurrentIndex(list->findText(toQString(initial)));
    list->setGeometry(geometry);
    return list;
}

QCheckBox* makeCheckBox(QWidget* parent, const char* name, bool checked, QRect geometry) {
    auto* box = new WholeCheckBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setChecked(checked);
    box->setGeometry(geometry);
    return box;
}

QLineEdit* makeCharField(QWidget* parent, const char* name, const QString& initial, QRect geometry) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(QLatin1String(name));
    // Two positions, each a letter or a digit; an empty one shows as '_'.
    field->setInputMask(QStringLiteral("NN;_"));
    field->setText(initial);
    field->setGeometry(geometry);
    return field;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setGeometry(geometry);
    return button;
}

}  // namespace

bool HexPairToByte(const QString& text, std::uint8_t& out) {
    const QString upper = text.toUpper();
    out = 0;
    if (upper.size() < 2) return false;
    const int high = hexDigitValue(upper.at(0));
    const int low = hexDigitValue(upper.at(1));
    if (high < 0 || low < 0) return false;
    out = static_cast<std::uint8_t>(16 * high + low);
    return true;
}

TSetupForm::TSetupForm(usb::SerialSettings& settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), settings_(settings) {
    setObjectName(QStringLiteral("SetupForm"));
    setWindowTitle(QStringLiteral("Configuration Options"));
    setModal(true);
    setFont(dialogFont(11));
    setFixedSize(556, 273);

    GroupBox1 = makeGroupBox(this, "GroupBox1", QStringLiteral(" Data "), {0, 16, 201, 185});
    Label1 = makeLabel(GroupBox1, "Label1", QStringLiteral("Baud Rate"), {16, 36});
    BaudSelect = makeList(GroupBox1, "BaudSelect", BaudChoices, "115,200", {88, 32, 89, 24});
    Label2 = makeLabel(GroupBox1, "Label2", QStringLiteral("Data Bits"), {24, 68});
    DataBits = makeList(GroupBox1, "DataBits", DataBitsChoices, "8 bits", {88, 64, 89, 24});
    Label3 = makeLabel(GroupBox1, "Label3", QStringLiteral("Stop Bits"), {24, 100});
    StopBits = makeList(GroupBox1, "StopBits", StopBitsChoices, "1 bit", {88, 96, 89, 24});
    Label4 = makeLabel(GroupBox1, "Label4", QStringLiteral("Parity"), {40, 132});
    Parity = makeList(GroupBox1, "Parity", ParityChoices, "None", {88, 128, 89, 24});

    GroupBox2 = makeGroupBox(this, "GroupBox2", QStringLiteral(" Handshaking "), {200, 16, 201, 185});
    Label5 = makeLabel(GroupBox2, "Label5", QStringLiteral("Flow Control"), {8, 36});
    FlowControl = makeList(GroupBox2, "FlowControl", FlowControlChoices, "None", {88, 32, 89, 24});
    Label6 = makeLabel(GroupBox2, "Label6", QStringLiteral("RTS"), {48, 104});
    RTS_On = makeCheckBox(GroupBox2, "RTS_On", true, {88, 104, 97, 17});
    Label7 = makeLabel(GroupBox2, "Label7", QStringLiteral("DTR"), {48, 128});
    DTR_On = makeCheckBox(GroupBox2, "DTR_On", true, {88, 128, 97, 17});

    GroupBox3 = makeGroupBox(this, "GroupBox3", QStringLiteral(" Special Chars "), {400, 16, 153, 185});
    Label8 = makeLabel(GroupBox3, "Label8", QStringLiteral("X-On"), {32, 36});
    XON_Val = makeCharField(GroupBox3, "XON_Val", QStringLiteral("11"), {72, 32, 49, 24});
    Label11 = makeLabel(GroupBox3, "Label11", QStringLiteral("X-Off"), {32, 68});
    XOFF_Val = makeCharField(GroupBox3, "XOFF_Val", QStringLiteral("13"), {72, 64, 49, 24});
    Label9 = makeLabel(GroupBox3, "Label9", QStringLiteral("Event"), {28, 100});
    Event_Val = makeCharField(GroupBox3, "Event_Val", QStringLiteral("00"), {72, 96, 49, 24});
    Event_On = makeCheckBox(GroupBox3, "Event_On", false, {128, 96, 17, 17});
    Label10 = makeLabel(GroupBox3, "Label10", QStringLiteral("Error"), {32, 132});
    Error_Val = makeCharField(GroupBox3, "Error_Val", QStringLiteral("00"), {72, 128, 49, 24});
    Error_On = makeCheckBox(GroupBox3, "Error_On", false, {128, 128, 17, 17});
    Label9->setEnabled(false);
    Event_Val->setEnabled(false);
    Label10->setEnabled(false);
    Error_Val->setEnabled(false);

    Button1 = makeButton(this, "Button1", QStringLiteral("OK"), {160, 216, 97, 33});
    Button2 = makeButton(this, "Button2", QStringLiteral("Cancel"), {320, 216, 97, 33});

    // OK first, then each box top to bottom (in the special-chars box the two
    // check boxes come before the fields), Cancel last.
    QWidget* const tabChain[] = {Button1,  BaudSelect, DataBits,  StopBits, Parity,
                                 FlowControl, RTS_On,  DTR_On,    Event_On, Error_On,
                                 XON_Val,  XOFF_Val,   Event_Val, Error_Val, Button2};
    for (std::size_t i = 1; i < std::size(tabChain); ++i) setTabOrder(tabChain[i - 1], tabChain[i]);
    Button1->setFocus();

    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(Button1); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(Button2); });
    // Follow the check state however it changes, not only on a mouse click,
    // so a field can never be enabled while its box is clear.
    connect(Event_On, &QCheckBox::toggled, this, [this] { Event_OnClick(Event_On); });
    connect(Error_On, &QCheckBox::toggled, this, [this] { Error_OnClick(Error_On); });
}

void TSetupForm::ParseBaudRate() {
    parseChoice(BaudSelect, BaudChoices, settings_.SerialBaudRate, settings_.SerialSettingsError);
}

void TSetupForm::ParseDataBits() {
    parseChoice(DataBits, DataBitsChoices, settings_.SerialDataBits, settings_.SerialSettingsError);
}

void TSetupForm::ParseStopBits() {
    parseChoice(StopBits, StopBitsChoices, settings_.SerialStopBits, settings_.SerialSettingsError);
}

void TSetupForm::ParseParity() {
    parseChoice(Parity, ParityChoices, settings_.SerialParity, settings_.SerialSettingsError);
}

void TSetupForm::ParseFlowControl() {
    parseChoice(FlowControl, FlowControlChoices, settings_.SerialFlowControl,
                settings_.SerialSettingsError);
}

void TSetupForm::Button1Click(QObject* /*Sender*/) {
    settings_.SerialSettingsError = false;
    ParseBaudRate();
    ParseDataBits();
    ParseStopBits();
    ParseParity();
    ParseFlowControl();

    settings_.SerialRtsOn = RTS_On->isChecked();
    settings_.SerialDtrOn = DTR_On->isChecked();
    settings_.SerialEventCharOn = Event_On->isChecked();
    settings_.SerialErrorCharOn = Error_On->isChecked();

    // The event and error characters are taken even while unused, so turning
    // their check box on later finds a value already parsed.
    const std::pair<QLineEdit*, std::uint8_t*> fields[] = {
        {XON_Val, &settings_.SerialXonChar},
        {XOFF_Val, &settings_.SerialXoffChar},
        {Event_Val, &settings_.SerialEventChar},
        {Error_Val, &settings_.SerialErrorChar},
    };
    for (const auto& [field, character] : fields) {
        if (!HexPairToByte(field->text(), *character)) settings_.SerialSettingsError = true;
    }

    // A flagged result still closes with OK; the caller looks at the flag.
    accept();
}

void TSetupForm::Button2Click(QObject* /*Sender*/) {
    reject();
}

void TSetupForm::Event_OnClick(QObject* /*Sender*/) {
    const bool on = Event_On->isChecked();
    Event_Val->setEnabled(on);
    Label9->setEnabled(on);
}

void TSetupForm::Error_OnClick(QObject* /*Sender*/) {
    const bool on = Error_On->isChecked();
    Error_Val->setEnabled(on);
    Label10->setEnabled(on);
}

void TSetupForm::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void TSetupForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Centred on the screen even when it has a parent window, which QDialog
    // would centre it over instead.
    if (!event->spontaneous()) {
        if (const QScreen* s = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(s->availableGeometry().center());
            move(frame.topLeft());
        }
    }
}

}  // namespace ui
