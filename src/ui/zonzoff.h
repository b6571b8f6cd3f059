#pragma once

// Light switch: a small custom-drawn rocker with an indicator lamp and a caption.
//
// TzcCustomOnOff owns the behaviour (state, mouse and keyboard handling, focus, the
// off-screen painting frame, the caption and the two hit regions); TzcLightOnOff adds the
// rocker-and-lamp look. A click on the raised half of the rocker flips the switch, then
// OnClick fires; writing SwitchOn from code flips it without OnClick.

#include <initializer_list>

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QPolygon>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QWidget>

class QPainter;

namespace ui {

// Where the rocker sits relative to the caption.
enum TzcOnOffGraphPlacement { zcgp_Top, zcgp_Bottom, zcgp_Left, zcgp_Right };

// Size step of the rocker, 1..3.
using TzcOnOffSize = int;

// Vertical placement of the caption inside its rectangle. The historical name says
// "horizontal"; the effect has always been vertical and callers rely on the names.
enum zbHorzAlign { zbha_Center, zbha_Top, zbha_Bottom };

// The 8 x 8 brushed-steel tile used by SteelLook: silver, with white where x and y are
// both odd. Built on first use and shared by every switch. It is a QImage rather than a
// QPixmap so that it can outlive the QApplication at exit without complaint.
const QImage& SteelPattern();

class TzcCustomOnOff : public QWidget {
  Q_OBJECT

 public:
  explicit TzcCustomOnOff(QWidget* parent = nullptr);
  ~TzcCustomOnOff() override;

  bool SwitchOn() const { return fOn; }
  // Changes the state without a click: repaints, then fires OnOn or OnOff. Writing the
  // current value does nothing at all.
  void setSwitchOn(bool v);

  // Flips the switch if a press is pending (mouse held inside it, Space released, Return),
  // and fires OnClick. With nothing pending it does nothing, so code cannot fake a click
  // through it; use operatorClick() for that.
  void Click();

  // Clicks as the operator would: a left press and release in the middle of the half of
  // the rocker that is raised, sent as ordinary mouse events through the same handlers a
  // real mouse reaches. A disabled switch ignores it, as it ignores the mouse.
  void operatorClick();

  QString Caption() const { return fCaption; }
  void setCaption(const QString& text);

  // Colours. Those that default to a palette role (button face, light, dark) keep
  // following the palette until set; setting an invalid QColor returns to the palette.
  QColor Color() const;
  void setColor(const QColor& c);
  QColor BackColor() const;
  void setBackColor(const QColor& c);
  QColor HighLightColor() const;
  void setHighLightColor(const QColor& c);
  QColor ShadowColor() const;
  void setShadowColor(const QColor& c);

  bool ShowTextPress() const { return fShowPress; }
  void setShowTextPress(bool v);
  bool UseFocusBold() const { return fBold; }
  void setUseFocusBold(bool v);
  bool UseFocusFrame() const { return fFrame; }
  void setUseFocusFrame(bool v);
  bool Autofocus() const { return fAutoFocus; }
  void setAutofocus(bool v);
  zbHorzAlign HorzAlign() const { return fHorzAlign; }
  void setHorzAlign(zbHorzAlign v);
  // Horizontal caption placement: Qt::AlignLeft, Qt::AlignRight or Qt::AlignHCenter.
  Qt::Alignment Alignment() const { return fAlign; }
  void setAlignment(Qt::Alignment v);
  bool MultipleLines() const { return fMulti; }
  void setMultipleLines(bool v);
  bool WordWrap() const { return fWordWrap; }
  void setWordWrap(bool v);
  bool SteelLook() const { return fSteel; }
  void setSteelLook(bool v);
  TzcOnOffGraphPlacement GlyphAlign() const { return fGlyphAlign; }
  void setGlyphAlign(TzcOnOffGraphPlacement v);

  QSize sizeHint() const override { return {89, 33}; }

 signals:
  void OnOn(ui::TzcCustomOnOff* sender);
  void OnOff(ui::TzcCustomOnOff* sender);
  void OnClick(ui::TzcCustomOnOff* sender);
  void OnPaint(ui::TzcCustomOnOff* sender);
  void OnMouseEnter(ui::TzcCustomOnOff* sender);
  void OnMouseLeave(ui::TzcCustomOnOff* sender);

 protected:
  virtual void DrawDisabled(QPainter& canvas);
  virtual void DrawOn(QPainter& canvas);
  virtual void DrawOff(QPainter& canvas);
  virtual void DrawCaption(const QRect& r, QPainter& canvas);
  virtual void UpdateRegions();
  virtual QRegion MakeOnRegion();
  virtual QRegion MakeOffRegion();

  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void keyReleaseEvent(QKeyEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;
  void enterEvent(QEnterEvent* e) override;
  void leaveEvent(QEvent* e) override;
  void changeEvent(QEvent* e) override;
  bool event(QEvent* e) override;

  bool canTakeFocus() const;
  // Where a press must land to flip the switch in its current state.
  const QRegion& activeRegion();

  bool fOn = false;
  bool fDown = false;
  bool fDraging = false;
  bool fKeyBoard = false;
  QRegion fOnReg;
  QRegion fOffReg;

  // Invalid means "follow the palette role" (see the colour accessors).
  QColor fColor;
  QColor fBackColor;
  QColor fHigh;
  QColor fShadow;

  Qt::Alignment fAlign = Qt::AlignHCenter;
  zbHorzAlign fHorzAlign = zbha_Center;
  bool fMulti = false;
  bool fWordWrap = false;
  bool fShowPress = true;
  bool fBold = true;
  bool fFrame = false;
  bool fSteel = false;
  bool fAutoFocus = false;
  TzcOnOffGraphPlacement fGlyphAlign = zcgp_Top;

  int gleft = 0;
  int gTop = 0;
  int gWidth = 0;
  int gHeight = 0;
  int tLeft = 0;
  int tTop = 0;
  int tWidth = 0;
  int tHeight = 0;

 private:
  void setFlag(bool& field, bool v);
  void grabCaptionMnemonic();

  QString fCaption;
  QPixmap fBuffer;
  // Size the hit regions were last built for; a widget that has never been shown gets no
  // resize event, so hit tests rebuild the regions when this no longer matches.
  QSize fRegSize;
  // A left press on the control has begun and its release has not yet come.
  bool fClickBegun = false;
  // Counts presses that enter the dragging state. A release compares it after Click()
  // returns, so that tidying up after its own press cannot cancel a newer press made
  // while an OnClick handler was pumping events.
  unsigned fPressSerial = 0;
  int fMnemonicId = 0;
};

class TzcLightOnOff : public TzcCustomOnOff {
  Q_OBJECT

 public:
  explicit TzcLightOnOff(QWidget* parent = nullptr);

  TzcOnOffSize Size() const { return fSize; }
  // Values outside 1..3 are clamped. A new size re-applies the current bounds, so the
  // widget grows if it is now below the minimum.
  void setSize(TzcOnOffSize s);
  QColor OnColor() const { return fOnCol; }
  void setOnColor(const QColor& c);
  QColor OffColor() const { return fOffCol; }
  void setOffColor(const QColor& c);

  QSize sizeHint() const override { return {45, 60}; }

 protected:
  void DrawDisabled(QPainter& canvas) override;
  void DrawOn(QPainter& canvas) override;
  void DrawOff(QPainter& canvas) override;
  QRegion MakeOnRegion() override;
  QRegion MakeOffRegion() override;

  void CalcGeometry();
  // Pixels covered by the lamp in the state given. The corners of a rounded rectangle are
  // handed over GDI-style, right and bottom exclusive; this is the QRect they cover.
  QRect LampRect(bool on) const;

  TzcOnOffSize fSize = 1;
  QColor fOnCol{0x00, 0xFF, 0x00};
  QColor fOffCol{0x00, 0x80, 0x00};
  int W1 = 0;
  int W2 = 0;
  int H1 = 0;
  int H2 = 0;
  int H3 = 0;
  int H4 = 0;
  // Scratch polygon reused while painting, to avoid an allocation per shape.
  QPolygon TempRgn;

 private:
  // Qt clamps every resize(), setGeometry() and layout request to minimumSize(), which
  // is what a bounds rule must cover; a resizeEvent override alone would see the small
  // size after the fact. So the minimum is kept as the widget's minimumSize.
  void applySizeMinimum();
  void drawPolygon(QPainter& canvas, const QColor& fill, std::initializer_list<QPoint> pts);
  void drawBottomEdge(QPainter& canvas);
  void drawLamp(QPainter& canvas, bool on);
  // Draws a polyline that, like a GDI polyline, leaves out its final point.
  static void drawOpenPolyline(QPainter& canvas, const QColor& pen, std::initializer_list<QPoint> pts);
};

}  // namespace ui
