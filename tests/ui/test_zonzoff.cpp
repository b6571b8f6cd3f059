#include "ui/zonzoff.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>

#include <string>
#include <vector>

namespace {

// One QApplication for the whole binary. Other test files of this target may want one
// too, so only create it when nobody has.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (QCoreApplication::instance() != nullptr) return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = new QApplication(argc_, argv_);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  static inline int argc_ = 1;
  static inline char arg0_[] = "test_ui";
  static inline char* argv_[] = {arg0_, nullptr};
  QApplication* app_ = nullptr;
};

[[maybe_unused]] const auto* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Opens up the internals the geometry and press-state checks need.
class Probe : public ui::TzcLightOnOff {
 public:
  explicit Probe(int w = 39, int h = 57) { resize(w, h); }
  using TzcLightOnOff::fDown;
  using TzcLightOnOff::fDraging;
  using TzcLightOnOff::fOffReg;
  using TzcLightOnOff::fOnReg;
  using TzcLightOnOff::gHeight;
  using TzcLightOnOff::gleft;
  using TzcLightOnOff::gTop;
  using TzcLightOnOff::gWidth;
  using TzcLightOnOff::H1;
  using TzcLightOnOff::H2;
  using TzcLightOnOff::H3;
  using TzcLightOnOff::H4;
  using TzcLightOnOff::tHeight;
  using TzcLightOnOff::tLeft;
  using TzcLightOnOff::tTop;
  using TzcLightOnOff::tWidth;
  using TzcLightOnOff::W1;
  using TzcLightOnOff::W2;
  // An unshown widget gets no resize event; rebuild the way a resize would.
  void rebuild() { UpdateRegions(); }
  QRect lamp(bool on) {
    CalcGeometry();
    return LampRect(on);
  }
};

// Raised half of the rocker while off (lower half) and while on (upper half), the lowered
// half while off, and the caption, for a 39 x 57 switch.
const QPoint kLowerHalf{18, 23};
const QPoint kUpperHalf{18, 14};
const QPoint kUpperOnly{18, 12};
const QPoint kCaption{19, 48};
const QPoint kOutside{80, 23};

void mouse(QWidget& w, QEvent::Type type, QPoint p, Qt::MouseButton button = Qt::LeftButton) {
  const Qt::MouseButton changed = type == QEvent::MouseMove ? Qt::NoButton : button;
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
  QMouseEvent e(type, QPointF(p), w.mapToGlobal(QPointF(p)), changed, held, Qt::NoModifier);
  QCoreApplication::sendEvent(&w, &e);
}

void press(QWidget& w, QPoint p) { mouse(w, QEvent::MouseButtonPress, p); }
void move(QWidget& w, QPoint p) { mouse(w, QEvent::MouseMove, p); }
void release(QWidget& w, QPoint p) { mouse(w, QEvent::MouseButtonRelease, p); }
void clickAt(QWidget& w, QPoint p) {
  press(w, p);
  release(w, p);
}

bool key(QWidget& w, QEvent::Type type, int k, bool autoRepeat = false) {
  QKeyEvent e(type, k, Qt::NoModifier, QString(), autoRepeat);
  QCoreApplication::sendEvent(&w, &e);
  return e.isAccepted();
}

void loseFocus(QWidget& w) {
  QFocusEvent e(QEvent::FocusOut, Qt::OtherFocusReason);
  QCoreApplication::sendEvent(&w, &e);
}

// Records the switch's notifications in the order they fire, with the state each one saw.
struct Recorder {
  std::vector<std::string> log;
  explicit Recorder(ui::TzcCustomOnOff& sw) {
    auto add = [this](const char* name) {
      return [this, name](ui::TzcCustomOnOff* s) {
        log.push_back(std::string(name) + (s->SwitchOn() ? ":on" : ":off"));
      };
    };
    QObject::connect(&sw, &ui::TzcCustomOnOff::OnOn, add("OnOn"));
    QObject::connect(&sw, &ui::TzcCustomOnOff::OnOff, add("OnOff"));
    QObject::connect(&sw, &ui::TzcCustomOnOff::OnClick, add("OnClick"));
  }
  using Log = std::vector<std::string>;
};

using Log = Recorder::Log;

// ---------------------------------------------------------------------------------------

TEST(LightSwitchGeometry, GetTSBtnAt39x57) {
  Probe sw(39, 57);
  sw.rebuild();
  EXPECT_EQ(sw.gWidth, 25);
  EXPECT_EQ(sw.gHeight, 40);
  EXPECT_EQ(sw.gleft, 7);
  EXPECT_EQ(sw.gTop, 0);
  EXPECT_EQ(QRect(sw.tLeft, sw.tTop, sw.tWidth, sw.tHeight), QRect(0, 41, 39, 16));
  EXPECT_EQ((std::vector<int>{sw.H1, sw.H2, sw.H3, sw.H4, sw.W1, sw.W2}),
            (std::vector<int>{2, 10, 14, 14, 2, 4}));

  // On-region (9,16) (30,16) (28,30) (7,30); off-region (7,10) (28,10) (30,24) (9,24).
  // Right and bottom edges are outside, so the slanted left edge of the on-region only
  // reaches column 8 on its last row.
  EXPECT_EQ(sw.fOnReg.boundingRect(), QRect(QPoint(8, 16), QPoint(29, 29)));
  EXPECT_EQ(sw.fOffReg.boundingRect(), QRect(QPoint(7, 10), QPoint(29, 23)));
  EXPECT_TRUE(sw.fOnReg.contains(QPoint(9, 16)));
  EXPECT_FALSE(sw.fOnReg.contains(QPoint(9, 15)));
  EXPECT_FALSE(sw.fOnReg.contains(QPoint(8, 17)));  // left of the slanted edge
  EXPECT_TRUE(sw.fOffReg.contains(QPoint(7, 10)));
  EXPECT_FALSE(sw.fOffReg.contains(QPoint(29, 11)));  // right of the slanted edge

  // Lamps: lit (14,32)-(27,36), dark (12,24)-(25,28), right and bottom exclusive.
  EXPECT_EQ(sw.lamp(true), QRect(14, 32, 13, 4));
  EXPECT_EQ(sw.lamp(false), QRect(12, 24, 13, 4));
}

TEST(LightSwitchGeometry, UDPOnOffAt35x57ShiftsEveryGlyphXByTwo) {
  Probe sw(35, 57);
  sw.rebuild();
  EXPECT_EQ(sw.gleft, 5);
  EXPECT_EQ(QRect(sw.tLeft, sw.tTop, sw.tWidth, sw.tHeight), QRect(0, 41, 35, 16));
  EXPECT_EQ(sw.fOnReg.boundingRect(), QRect(QPoint(6, 16), QPoint(27, 29)));
  EXPECT_EQ(sw.fOffReg.boundingRect(), QRect(QPoint(5, 10), QPoint(27, 23)));
  EXPECT_EQ(sw.lamp(true), QRect(12, 32, 13, 4));
  EXPECT_EQ(sw.lamp(false), QRect(10, 24, 13, 4));
}

TEST(LightSwitchGeometry, GlyphAlignRebuildsTheRegions) {
  Probe sw(39, 57);
  sw.rebuild();
  sw.setGlyphAlign(ui::zcgp_Left);
  EXPECT_EQ(sw.gleft, 0);
  EXPECT_EQ(sw.gTop, 8);
  EXPECT_EQ(sw.fOffReg.boundingRect().topLeft(), QPoint(0, 18));
  EXPECT_EQ(QRect(sw.tLeft, sw.tTop, sw.tWidth, sw.tHeight), QRect(26, 0, 13, 57));
}

TEST(LightSwitchBounds, NeverSmallerThanTheSizeStepAllows) {
  ui::TzcLightOnOff sw;
  EXPECT_EQ(sw.size(), QSize(45, 60));
  sw.resize(10, 10);
  EXPECT_EQ(sw.size(), QSize(28, 43));
  sw.setGeometry(3, 4, 1, 1);
  EXPECT_EQ(sw.geometry(), QRect(3, 4, 28, 43));
  sw.move(50, 60);
  EXPECT_EQ(sw.geometry(), QRect(50, 60, 28, 43));

  sw.resize(39, 57);
  sw.setSize(3);  // minimum 48 x 63: grows
  EXPECT_EQ(sw.size(), QSize(48, 63));
  sw.setSize(1);  // smaller minimum: bounds stay
  EXPECT_EQ(sw.size(), QSize(48, 63));
}

// ---------------------------------------------------------------------------------------

TEST(LightSwitchState, WritingSwitchOnNotifiesButNeverClicks) {
  ui::TzcLightOnOff sw;
  Recorder rec(sw);
  sw.setSwitchOn(true);
  sw.setSwitchOn(true);
  sw.setSwitchOn(false);
  sw.setSwitchOn(false);
  EXPECT_EQ(rec.log, (Log{"OnOn:on", "OnOff:off"}));
}

TEST(LightSwitchState, WritingTheCurrentValueDoesNotRepaint) {
  ui::TzcLightOnOff sw;
  sw.resize(39, 57);
  int paints = 0;
  QObject::connect(&sw, &ui::TzcCustomOnOff::OnPaint, [&] { ++paints; });
  sw.show();
  QCoreApplication::processEvents();
  ASSERT_GT(paints, 0);

  const int before = paints;
  sw.setSwitchOn(false);
  QCoreApplication::processEvents();
  EXPECT_EQ(paints, before);

  sw.setSwitchOn(true);
  QCoreApplication::processEvents();
  EXPECT_GT(paints, before);
}

// ---------------------------------------------------------------------------------------

TEST(LightSwitchMouse, ClickOnTheRaisedHalfFlipsBeforeOnClick) {
  Probe sw;
  Recorder rec(sw);
  clickAt(sw, kLowerHalf);
  clickAt(sw, kUpperHalf);  // now raised, since the switch is on
  EXPECT_EQ(rec.log, (Log{"OnOn:on", "OnClick:on", "OnOff:off", "OnClick:off"}));
  EXPECT_FALSE(sw.fDown);
  EXPECT_FALSE(sw.fDraging);
}

TEST(LightSwitchMouse, LoweredHalfCaptionAndOtherButtonsDoNothing) {
  Probe sw;
  Recorder rec(sw);
  clickAt(sw, kUpperOnly);
  clickAt(sw, kCaption);
  mouse(sw, QEvent::MouseButtonPress, kLowerHalf, Qt::RightButton);
  mouse(sw, QEvent::MouseButtonRelease, kLowerHalf, Qt::RightButton);
  sw.setSwitchOn(true);
  rec.log.clear();
  clickAt(sw, kLowerHalf + QPoint(0, 5));  // lower half, lowered while on
  EXPECT_TRUE(rec.log.empty());
  EXPECT_TRUE(sw.SwitchOn());
}

TEST(LightSwitchMouse, DragOutCancelsAndComingBackRestores) {
  Probe sw;
  Recorder rec(sw);

  press(sw, kLowerHalf);
  EXPECT_TRUE(sw.fDown);
  move(sw, kOutside);
  EXPECT_FALSE(sw.fDown);
  EXPECT_TRUE(sw.fDraging);
  release(sw, kOutside);
  EXPECT_FALSE(sw.fDraging);
  EXPECT_TRUE(rec.log.empty());

  press(sw, kLowerHalf);
  move(sw, kOutside);
  move(sw, kCaption);  // anywhere inside the control counts once the press has begun
  EXPECT_TRUE(sw.fDown);
  release(sw, kCaption);
  EXPECT_EQ(rec.log, (Log{"OnOn:on", "OnClick:on"}));
}

TEST(LightSwitchMouse, DoubleClickFlipsTwice) {
  Probe sw;
  Recorder rec(sw);
  press(sw, kLowerHalf);
  release(sw, kLowerHalf);
  mouse(sw, QEvent::MouseButtonDblClick, kUpperHalf);
  release(sw, kUpperHalf);
  EXPECT_EQ(rec.log, (Log{"OnOn:on", "OnClick:on", "OnOff:off", "OnClick:off"}));
}

TEST(LightSwitchFocus, LosingItCancelsAMouseOrSpacePress) {
  Probe sw;
  Recorder rec(sw);
  press(sw, kLowerHalf);
  loseFocus(sw);
  EXPECT_FALSE(sw.fDown);
  EXPECT_FALSE(sw.fDraging);
  release(sw, kLowerHalf);

  key(sw, QEvent::KeyPress, Qt::Key_Space);
  loseFocus(sw);
  key(sw, QEvent::KeyRelease, Qt::Key_Space);
  EXPECT_TRUE(rec.log.empty());
}

// ---------------------------------------------------------------------------------------

TEST(LightSwitchKeyboard, SpaceFlipsOnceOnReleaseEvenWithAutoRepeat) {
  Probe sw;
  Recorder rec(sw);
  EXPECT_TRUE(key(sw, QEvent::KeyPress, Qt::Key_Space));
  for (int i = 0; i < 3; ++i) {
    key(sw, QEvent::KeyRelease, Qt::Key_Space, true);
    key(sw, QEvent::KeyPress, Qt::Key_Space, true);
  }
  EXPECT_TRUE(rec.log.empty());
  EXPECT_TRUE(sw.fDown);
  EXPECT_TRUE(key(sw, QEvent::KeyRelease, Qt::Key_Space));
  EXPECT_EQ(rec.log, (Log{"OnOn:on", "OnClick:on"}));
}

TEST(LightSwitchKeyboard, SpaceUpDuringAMousePressDoesNothing) {
  Probe sw;
  Recorder rec(sw);
  press(sw, kLowerHalf);
  key(sw, QEvent::KeyPress, Qt::Key_Space);
  key(sw, QEvent::KeyRelease, Qt::Key_Space);
  EXPECT_TRUE(rec.log.empty());
  release(sw, kLowerHalf);  // the mouse still owns the press
  EXPECT_EQ(rec.log, (Log{"OnOn:on", "OnClick:on"}));
}

TEST(LightSwitchKeyboard, ReturnAndEnterFlipOtherKeysPassOn) {
  Probe sw;
  Recorder rec(sw);
  EXPECT_TRUE(key(sw, QEvent::KeyPress, Qt::Key_Return));
  EXPECT_TRUE(key(sw, QEvent::KeyPress, Qt::Key_Enter));
  EXPECT_FALSE(key(sw, QEvent::KeyPress, Qt::Key_A));
  EXPECT_EQ(rec.log, (Log{"OnOn:on", "OnClick:on", "OnOff:off", "OnClick:off"}));
}

// ---------------------------------------------------------------------------------------

TEST(LightSwitchDisabled, IgnoresTheOperatorButTakesWrittenState) {
  Probe sw;
  Recorder rec(sw);
  sw.setEnabled(false);
  clickAt(sw, kLowerHalf);
  sw.operatorClick();
  key(sw, QEvent::KeyPress, Qt::Key_Return);
  EXPECT_TRUE(rec.log.empty());
  sw.setSwitchOn(true);
  EXPECT_EQ(rec.log, (Log{"OnOn:on"}));
}

TEST(LightSwitchDisabled, DisablingDuringAPressDropsIt) {
  Probe sw;
  Recorder rec(sw);
  press(sw, kLowerHalf);
  sw.setEnabled(false);
  sw.setEnabled(true);
  release(sw, kLowerHalf);
  EXPECT_FALSE(sw.fDown);
  EXPECT_TRUE(rec.log.empty());
}

TEST(LightSwitchOperatorClick, FlipsBothWaysThroughTheMouseHandlers) {
  Probe sw;
  Recorder rec(sw);
  sw.operatorClick();
  sw.operatorClick();
  EXPECT_EQ(rec.log, (Log{"OnOn:on", "OnClick:on", "OnOff:off", "OnClick:off"}));
}

TEST(LightSwitchNesting, ClicksInsideAPumpingOnClickHandlerAreDelivered) {
  Probe sw;
  std::vector<bool> seen;
  bool afterCaptionClick = false;
  bool afterNestedClick = true;
  auto postClick = [&sw](QPoint at) {
    const QPointF p(at);
    QCoreApplication::postEvent(&sw, new QMouseEvent(QEvent::MouseButtonPress, p, sw.mapToGlobal(p),
                                                     Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(&sw, new QMouseEvent(QEvent::MouseButtonRelease, p, sw.mapToGlobal(p),
                                                     Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  };
  QObject::connect(&sw, &ui::TzcCustomOnOff::OnClick, [&](ui::TzcCustomOnOff* s) {
    seen.push_back(s->SwitchOn());
    if (seen.size() != 1) return;
    // The operator keeps clicking while the handler keeps the event loop going, as the
    // stream pump does: the caption must still do nothing, the raised half must flip.
    postClick(kCaption);
    afterCaptionClick = s->SwitchOn();
    postClick(kUpperHalf);
    afterNestedClick = s->SwitchOn();
  });
  clickAt(sw, kLowerHalf);
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
  EXPECT_TRUE(afterCaptionClick);
  EXPECT_FALSE(afterNestedClick);
  EXPECT_FALSE(sw.SwitchOn());
  EXPECT_FALSE(sw.fDown);
  EXPECT_FALSE(sw.fDraging);
}

// ---------------------------------------------------------------------------------------

QRgb pixel(const QImage& img, QPoint p) { return img.pixel(p) & 0xFFFFFF; }

bool anyPixel(const QImage& img, QRgb rgb) {
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if ((img.pixel(x, y) & 0xFFFFFF) == rgb) return true;
  return false;
}

constexpr QRgb kBright = 0x00FF00;
constexpr QRgb kDark = 0x008000;
const QPoint kLitSpot{20, 34};
const QPoint kDarkSpot{18, 26};

TEST(LightSwitchLook, LampShowsTheStateAndDisabledShowsNone) {
  ui::TzcLightOnOff sw;
  sw.resize(39, 57);
  sw.setCaption("Get TS");

  QImage off = sw.grab().toImage();
  EXPECT_EQ(pixel(off, kDarkSpot), kDark);
  EXPECT_FALSE(anyPixel(off, kBright));
  EXPECT_EQ(pixel(off, {1, 1}), sw.BackColor().rgb() & 0xFFFFFF);

  sw.setSwitchOn(true);
  QImage on = sw.grab().toImage();
  EXPECT_EQ(pixel(on, kLitSpot), kBright);
  EXPECT_FALSE(anyPixel(on, kDark));

  sw.setEnabled(false);
  QImage disabled = sw.grab().toImage();
  EXPECT_FALSE(anyPixel(disabled, kBright));
  EXPECT_FALSE(anyPixel(disabled, kDark));
  EXPECT_EQ(pixel(disabled, kLitSpot), sw.Color().rgb() & 0xFFFFFF);
  // The engraved caption: grey text over a white copy.
  EXPECT_TRUE(anyPixel(disabled.copy(0, 41, 39, 16), 0x808080));
  EXPECT_TRUE(anyPixel(disabled.copy(0, 41, 39, 16), 0xFFFFFF));
}

// The lamps are rounded rectangles with 3 x 3 corner ellipses: the corner
// pixels of the lit (14,32)-(27,36) and dark (12,24)-(25,28) lamps show what
// lies under the lamp, their neighbours along the edges the lamp colour.
TEST(LightSwitchLook, LampsHaveRoundedCorners) {
  ui::TzcLightOnOff sw;
  sw.resize(39, 57);
  sw.setCaption("Get TS");
  struct Lamp {
    bool on;
    QRect rect;
    QRgb colour;
  };
  for (const Lamp& lamp : {Lamp{false, QRect(12, 24, 13, 4), kDark}, Lamp{true, QRect(14, 32, 13, 4), kBright}}) {
    sw.setSwitchOn(lamp.on);
    const QImage img = sw.grab().toImage();
    const QRect r = lamp.rect;
    for (const QPoint corner : {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight()}) {
      EXPECT_NE(pixel(img, corner), lamp.colour) << lamp.on << " corner " << corner.x() << "," << corner.y();
      const int inX = corner.x() == r.left() ? 1 : -1;
      const int inY = corner.y() == r.top() ? 1 : -1;
      EXPECT_EQ(pixel(img, corner + QPoint(inX, 0)), lamp.colour) << lamp.on;
      EXPECT_EQ(pixel(img, corner + QPoint(0, inY)), lamp.colour) << lamp.on;
    }
    EXPECT_EQ(pixel(img, r.center()), lamp.colour);
  }
}

TEST(LightSwitchLook, SteelLookTilesTheSharedPattern) {
  const QImage& tile = ui::SteelPattern();
  ASSERT_EQ(tile.size(), QSize(8, 8));
  EXPECT_EQ(&tile, &ui::SteelPattern());

  ui::TzcLightOnOff sw;
  sw.resize(39, 57);
  sw.setSteelLook(true);
  QImage img = sw.grab().toImage();
  EXPECT_EQ(pixel(img, {1, 1}), 0xFFFFFFu);
  EXPECT_EQ(pixel(img, {2, 1}), 0xC0C0C0u);
  EXPECT_EQ(pixel(img, {1, 2}), 0xC0C0C0u);
  EXPECT_EQ(pixel(img, {9, 49}), 0xFFFFFFu);  // tiled on past the first 8 x 8
}

}  // namespace
