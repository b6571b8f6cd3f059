#include "ui/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>

#include "ui/control_states.h"
#include "ui/fonts.h"
#include "ui/zonzoff.h"

// The pictures live in the window library, which is static: register them
// explicitly so that the linker keeps them.
static void initResources() { Q_INIT_RESOURCE(vesperbox); }

namespace ui {

namespace {

constexpr int ClientWidth = 593;
constexpr int ClientHeight = 680;
constexpr int StatusBarHeight = 25;

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, int left,
                        int top, int width, int height) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setGeometry(left, top, width, height);
    // Buttons of this window are plain: Enter does not press any of them.
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& caption, int left, int top,
                  const QFont& font) {
    auto* l = new QLabel(caption, parent);
    l->setObjectName(name);
    l->setFont(font);
    l->move(left, top);
    l->adjustSize();
    return l;
}

QLabel* makeImage(QWidget* parent, const char* name, const QString& resource, int left, int top) {
    auto* l = new QLabel(parent);
    l->setObjectName(name);
    l->setGeometry(left, top, 33, 33);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);  // the picture is drawn unscaled
    l->setPixmap(QPixmap(resource));
    return l;
}

TzcLightOnOff* makeSwitch(QWidget* parent, const char* name, const QString& caption, int left,
                          int top, int width, int height) {
    auto* s = new TzcLightOnOff(parent);
    s->setObjectName(name);
    s->setCaption(caption);
    s->setGeometry(left, top, width, height);
    return s;
}

}  // namespace

TForm1::TForm1(const Services& services, QWidget* parent)
    : QMainWindow(parent),
      services_(services),
      Channels(services.library, services.dialogs),
      I2C(Channels, services.clock, services.dialogs),
      Link(I2C, panel_),
      Udp(services.network, services.udp),
      Pump(Channels, services.clock, Udp, Model, panel_),
      Console(Channels, I2C, Pump, Udp, Model, panel_) {
    initResources();
    setObjectName("Form1");
    setWindowTitle("Test My Vesperbox v1.0a");
    QIcon icon;
    for (int size : {16, 32, 48}) icon.addFile(QString(":/icons/vesperbox-%1.png").arg(size));
    setWindowIcon(icon);
    setFont(defaultFont());
    buildControls();
    // Menu bar above a client area of the designed size.
    resize(ClientWidth, ClientHeight + menuBar()->sizeHint().height());
    move(404, 171);
}

TForm1::~TForm1() = default;

void TForm1::buildControls() {
    auto* file = menuBar()->addMenu("File");
    File1 = file;
    File1->setObjectName("File1");
    // Both separator lines are part of the menu's look, even with nothing
    // above them; Qt would otherwise fold leading separators away.
    File1->setSeparatorsCollapsible(false);
    N1 = File1->addSeparator();
    N1->setObjectName("N1");
    N2 = File1->addSeparator();
    N2->setObjectName("N2");
    Exit1 = File1->addAction("Exit");
    Exit1->setObjectName("Exit1");
    Exit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    Exit1->setShortcutContext(Qt::WindowShortcut);
    connect(Exit1, &QAction::triggered, this, [this] { FTQuitExecute(); });
    Help1 = menuBar()->addMenu("Help");
    Help1->setObjectName("Help1");
    About1 = Help1->addAction("About");  // bound to nothing, on purpose
    About1->setObjectName("About1");

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);
    Panel1->setAutoFillBackground(true);
    setCentralWidget(Panel1);
    QWidget* p = Panel1;

    const QFont labelFont = labelsFont();

    Memo1 = new QPlainTextEdit(p);
    Memo1->setObjectName("Memo1");
    Memo1->setGeometry(1, 0, 584, 381);
    Memo1->setFont(logFont());
    Memo1->setPlainText("Memo1");
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Nothing but the program writes the log: no typing, pasting or dropping.
    Memo1->setReadOnly(true);
    Memo1->setTabChangesFocus(true);
    Memo1->setUndoRedoEnabled(false);
    Memo1->setAcceptDrops(false);
    Memo1->setContextMenuPolicy(Qt::NoContextMenu);
    Memo1->installEventFilter(this);
    // The labels have no layout to resize them when a handler changes their
    // caption; the panel is told, and sizes them to their new text.
    Panel1->installEventFilter(this);

    Label4 = makeLabel(p, "Label4", "I2C status:", 13, 387, labelFont);
    I2Cstatus = makeLabel(p, "I2Cstatus", "unknown", 108, 387, labelFont);
    Label1 = makeLabel(p, "Label1", "Nb I2C errors:", 337, 387, labelFont);
    NbI2CerrorsTxt = makeLabel(p, "NbI2CerrorsTxt", "0000", 463, 387, labelFont);

    LedI2C = makeImage(p, "LedI2C", ":/lamps/red.jpg", 0, 417);
    TestI2CBtn = makeButton(p, "TestI2CBtn", "Test + init FT2232H", 39, 413, 112, 38);
    BtnOpenA = makeButton(p, "BtnOpenA", "Open I2C", 157, 416, 59, 31);
    TestSharpBtn = makeButton(p, "TestSharpBtn", "test I2C Sharp/Samsung", 222, 413, 145, 38);
    TestEardaBtn = makeButton(p, "TestEardaBtn", "test I2C Earda", 373, 413, 98, 38);
    BtnCloseA = makeButton(p, "BtnCloseA", "Close I2C", 475, 412, 66, 39);

    Label6 = makeLabel(p, "Label6", "TS status:", 23, 470, labelFont);
    TsStatus = makeLabel(p, "TsStatus", "closed", 112, 469, labelFont);
    BtnOpenB = makeButton(p, "BtnOpenB", "Open TS fifo", 23, 496, 66, 43);
    GetTSBtn = makeSwitch(p, "GetTSBtn", "Get TS", 95, 496, 39, 57);
    RecordOnOff = makeSwitch(p, "RecordOnOff", "Record", 140, 496, 39, 57);
    BtnCloseB = makeButton(p, "BtnCloseB", "Close TS fifo", 193, 495, 66, 45);

    Label2 = makeLabel(p, "Label2", "UDP status:", 23, 566, labelFont);
    LedUDP = makeImage(p, "LedUDP", ":/lamps/red.jpg", 1, 592);
    UDPOnOff = makeSwitch(p, "UDPOnOff", "UDP", 52, 592, 35, 57);
    BtnRefresh = makeButton(p, "BtnRefresh", "Refresh", 420, 592, 51, 41);
    BtnQuit = makeButton(p, "BtnQuit", "Quit", 477, 593, 67, 39);
    LedVerte = makeImage(p, "LedVerte", ":/lamps/green.jpg", 265, 600);
    LedVerte->hide();
    textLabels_ = {Label4, I2Cstatus, Label1, NbI2CerrorsTxt, Label6, TsStatus, Label2};

    // The controls start as the console's first state has them: the design's.
    ShowState(Model.state());

    // Designed tab order: Memo1, BtnOpenB, BtnRefresh, BtnCloseB, BtnQuit,
    // RecordOnOff, UDPOnOff, GetTSBtn, BtnOpenA, BtnCloseA, TestSharpBtn,
    // TestEardaBtn, TestI2CBtn.
    QWidget* const order[] = {Memo1,    BtnOpenB, BtnRefresh, BtnCloseB,    BtnQuit,
                              RecordOnOff, UDPOnOff, GetTSBtn, BtnOpenA,    BtnCloseA,
                              TestSharpBtn, TestEardaBtn, TestI2CBtn};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

    StatusBar1 = statusBar();
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setFixedHeight(StatusBarHeight);
    StatusBar1->setStyleSheet("QStatusBar::item { border: none; }");
    const int widths[3] = {200, 200, 50};
    for (int i = 0; i < 3; ++i) {
        auto* panel = new QLabel(StatusBar1);
        panel->setObjectName(QString("StatusPanel%1").arg(i));
        panel->setFixedWidth(widths[i]);
        panel->setFrameStyle(i < 2 ? (QFrame::Panel | QFrame::Sunken) : QFrame::NoFrame);
        StatusBar1->addWidget(panel);
        StatusPanels[i] = panel;
    }

    connect(TestI2CBtn, &QPushButton::clicked, this, [this] { InitI2CBtnClick(); });
    connect(BtnOpenA, &QPushButton::clicked, this, [this] { BtnOpenAClick(); });
    connect(TestSharpBtn, &QPushButton::clicked, this, [this] { TestSharpBtnClick(); });
    connect(TestEardaBtn, &QPushButton::clicked, this, [this] { TestEardaBtnClick(); });
    connect(BtnCloseA, &QPushButton::clicked, this, [this] { BtnCloseAClick(); });
    connect(BtnOpenB, &QPushButton::clicked, this, [this] { BtnOpenBClick(); });
    connect(BtnCloseB, &QPushButton::clicked, this, [this] { BtnCloseBClick(); });
    connect(BtnRefresh, &QPushButton::clicked, this, [this] { BtnRefreshClick(); });
    connect(BtnQuit, &QPushButton::clicked, this, [this] { BtnQuitClick(); });
    connect(GetTSBtn, &TzcLightOnOff::OnClick, this, [this] { GetTSBtnClick(); });
    connect(RecordOnOff, &TzcLightOnOff::OnClick, this, [this] { RecordOnOffClick(); });

    Memo1->setFocus();
}

void TForm1::AppendLog(const QString& line) {
    Memo1->appendPlainText(line);
    emit lineAppended(line);
}

QString TForm1::LogText() const { return Memo1->toPlainText(); }

void TForm1::SetStatusText(const QString& text) { StatusPanels[0]->setText(text); }
QString TForm1::StatusText() const { return StatusPanels[0]->text(); }

void TForm1::LightLamp(QLabel* lamp) { lamp->setPixmap(LedVerte->pixmap()); }

bool TForm1::LampIsGreen(const QLabel* lamp) const {
    return lamp->pixmap().toImage() == LedVerte->pixmap().toImage();
}

void TForm1::ProcessMessages() {
    if (services_.processMessages) services_.processMessages();
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TForm1::closeEvent(QCloseEvent* event) {
    // The close box, or Exit closing the window: the program ends with the
    // last window, but not while the pump runs the message loop from inside
    // its handler, so the pump is told to end.
    Pump.RequestStop();
    QMainWindow::closeEvent(event);
}

namespace {

// Tab and Shift+Tab walk the tab order; they are not typing, so the log's key
// handler never sees them.
bool isFocusKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) return false;
    const auto* key = static_cast<const QKeyEvent*>(event);
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
    return key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab;
}

}  // namespace

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Memo1 && !isFocusKey(event) && Memo1KeyPress(event)) return true;
    if (watched == Panel1 && event->type() == QEvent::LayoutRequest) {
        for (QLabel* label : textLabels_)
            if (label->size() != label->sizeHint()) label->adjustSize();
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TForm1::focusNextPrevChild(bool next) {
    // A handler that disables the control it was started from must not pass
    // the focus on: the next enabled control could be Get TS or Quit, and the
    // operator's next Return would press it. The focus goes nowhere instead;
    // Tab picks it up again.
    if (const QWidget* focused = focusWidget(); focused && !focused->isEnabled()) return false;
    return QMainWindow::focusNextPrevChild(next);
}

// Handlers: each is a call into the core that owns the logic.
void TForm1::FormShow() { Console.FormShow(); }
void TForm1::BtnRefreshClick() { Console.Refresh(); }
void TForm1::BtnOpenAClick() { Console.OpenA(); }
void TForm1::BtnCloseAClick() { Console.CloseA(); }
void TForm1::BtnOpenBClick() { Console.OpenB(); }
void TForm1::BtnCloseBClick() { Console.CloseB(); }
void TForm1::BtnQuitClick() { Console.Quit(); }
void TForm1::FTQuitExecute() { Console.Exit(); }
void TForm1::InitI2CBtnClick() { Console.InitI2C(); }
void TForm1::InitUDP() { Console.InitUDP(); }
void TForm1::GetTSBtnClick() { Pump.GetTSBtnClick(); }
void TForm1::RecordOnOffClick() { Pump.RecordOnOffClick(); }
void TForm1::ReceiveTS() { Pump.ReceiveTS(); }
void TForm1::TestSharpBtnClick() { Link.TestSharp(); }
void TForm1::TestEardaBtnClick() { Link.TestEarda(); }
bool TForm1::TestDemod() { return Link.TestDemod(); }
void TForm1::InitSTV903BtnClick() { Link.InitSTV903(); }
void TForm1::InitSTB6100BtnClick() { Link.InitSTB6100(); }
void TForm1::InitSTV6110BtnClick() { Link.InitSTV6110(); }

bool TForm1::Memo1KeyPress(QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress: {
        // Keys that would type, delete or insert are dropped; navigation and
        // window shortcuts (Ctrl+X is File > Exit) go on.
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
            return key->matches(QKeySequence::Paste) || key->matches(QKeySequence::Undo) ||
                   key->matches(QKeySequence::Redo);
        return !key->text().isEmpty() || key->key() == Qt::Key_Backspace ||
               key->key() == Qt::Key_Delete || key->key() == Qt::Key_Return ||
               key->key() == Qt::Key_Enter;
    }
    case QEvent::ShortcutOverride: {
        // The text view would claim Ctrl+X as Cut; leave it to the menu.
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Cut) ||
            (key->key() == Qt::Key_X && (key->modifiers() & Qt::ControlModifier))) {
            event->ignore();
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}

// The window as the cores see it.
void TForm1::Panel::ClearLog() { form_.Memo1->clear(); }
void TForm1::Panel::AppendLog(const QString& line) { form_.AppendLog(line); }
void TForm1::Panel::SetStatusText(const QString& text) { form_.SetStatusText(text); }
QString TForm1::Panel::Caption() const { return form_.windowTitle(); }
void TForm1::Panel::SetCaption(const QString& caption) { form_.setWindowTitle(caption); }

void TForm1::Panel::ShowDeviceRows(const QStringList& rows) {
    // The window has no device list; the rows go to the button's tool tip.
    form_.BtnRefresh->setToolTip(rows.join('\n'));
}

QWidget* TForm1::controlOf(console::Control control) const {
    using console::Control;
    switch (control) {
    case Control::Memo1: return Memo1;
    case Control::TestI2CBtn: return TestI2CBtn;
    case Control::BtnOpenA: return BtnOpenA;
    case Control::TestSharpBtn: return TestSharpBtn;
    case Control::TestEardaBtn: return TestEardaBtn;
    case Control::BtnCloseA: return BtnCloseA;
    case Control::BtnOpenB: return BtnOpenB;
    case Control::GetTSBtn: return GetTSBtn;
    case Control::RecordOnOff: return RecordOnOff;
    case Control::BtnCloseB: return BtnCloseB;
    case Control::UDPOnOff: return UDPOnOff;
    case Control::BtnRefresh: return BtnRefresh;
    case Control::BtnQuit: return BtnQuit;
    }
    return nullptr;
}

void TForm1::ShowState(const console::ConsoleState& state) {
    const ControlStates c = ControlsFor(state);
    for (const auto& [control, enabled] : c.enabled) controlOf(control)->setEnabled(enabled);
    for (const auto& [label, text] : {std::pair{I2Cstatus, c.i2cStatus}, std::pair{TsStatus, c.tsStatus}}) {
        if (label->text() == text) continue;
        label->setText(text);
        label->adjustSize();
    }
    // A lamp that is lit stays lit.
    if (c.ledI2C && !LampIsGreen(LedI2C)) LightLamp(LedI2C);
    if (c.ledUDP && !LampIsGreen(LedUDP)) LightLamp(LedUDP);
}

void TForm1::Panel::StateChanged(const console::ConsoleState& state) { form_.ShowState(state); }

TzcLightOnOff* TForm1::Panel::switchOf(console::Switch s) const {
    switch (s) {
    case console::Switch::GetTSBtn: return form_.GetTSBtn;
    case console::Switch::RecordOnOff: return form_.RecordOnOff;
    case console::Switch::UDPOnOff: return form_.UDPOnOff;
    }
    return form_.GetTSBtn;
}

bool TForm1::Panel::SwitchOn(console::Switch s) const { return switchOf(s)->SwitchOn(); }
void TForm1::Panel::SetSwitchOn(console::Switch s, bool on) { switchOf(s)->setSwitchOn(on); }
void TForm1::Panel::ProcessMessages() { form_.ProcessMessages(); }
void TForm1::Panel::QuitProgram() { QCoreApplication::quit(); }
void TForm1::Panel::CloseWindow() { form_.close(); }
void TForm1::Panel::ShowErrorTotal(const QString& text) {
    form_.NbI2CerrorsTxt->setText(text);
    form_.NbI2CerrorsTxt->adjustSize();
}

}  // namespace ui
