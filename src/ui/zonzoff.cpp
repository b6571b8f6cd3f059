#include "ui/zonzoff.h"

#include <QCoreApplication>
#include <QEnterEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QResizeEvent>

#include <algorithm>

namespace ui {

namespace {

constexpr int kMaxCaptionLength = 255;

QColor orPalette(const QColor& c, const QWidget* w, QPalette::ColorRole role) {
  // Button colours do not change with the enabled state of one control, so the active
  // group stands in for the system colours regardless of the widget's state.
  return c.isValid() ? c : w->palette().color(QPalette::Active, role);
}

int sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

const QImage& SteelPattern() {
  static const QImage pattern = [] {
    QImage img(8, 8, QImage::Format_RGB32);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        img.setPixel(x, y, (x % 2 == 1 && y % 2 == 1) ? 0xFFFFFFFFu : 0xFFC0C0C0u);
      }
    }
    return img;
  }();
  return pattern;
}

// ---------------------------------------------------------------------------------------
// TzcCustomOnOff

TzcCustomOnOff::TzcCustomOnOff(QWidget* parent)
    : QWidget(parent), fColor(0xFF, 0x00, 0xFF) {
  // Tab focus only: a click must take the focus only when it lands in the active region,
  // which the press handler decides; Qt's click focus would take it on any press.
  setFocusPolicy(Qt::TabFocus);
  // Every pixel comes from the off-screen buffer, so erasing first would only flicker.
  setAttribute(Qt::WA_OpaquePaintEvent);
  resize(89, 33);
}

TzcCustomOnOff::~TzcCustomOnOff() = default;

void TzcCustomOnOff::setSwitchOn(bool v) {
  if (v == fOn) return;
  fOn = v;
  update();
  if (fOn) {
    emit OnOn(this);
  } else {
    emit OnOff(this);
  }
}

void TzcCustomOnOff::Click() {
  if (!fDown && !fKeyBoard) return;
  // Back to idle before anything is fired: an OnClick handler may pump events for a long
  // time, and the operator must be able to press this switch again meanwhile.
  fKeyBoard = false;
  fDown = false;
  fDraging = false;
  QPointer<TzcCustomOnOff> self(this);
  setSwitchOn(!fOn);
  if (!self) return;
  emit OnClick(this);
}

void TzcCustomOnOff::operatorClick() {
  if (!isEnabled()) return;
  const QRect box = activeRegion().boundingRect();
  if (box.isEmpty()) return;
  const QPointF local = box.center();
  const QPointF global = mapToGlobal(local);
  QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QPointer<TzcCustomOnOff> self(this);
  QCoreApplication::sendEvent(this, &press);
  if (!self) return;
  QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(this, &release);
}

void TzcCustomOnOff::setCaption(const QString& text) {
  if (text == fCaption) return;
  fCaption = text;
  grabCaptionMnemonic();
  update();
}

void TzcCustomOnOff::grabCaptionMnemonic() {
  if (fMnemonicId != 0) releaseShortcut(fMnemonicId);
  // Zero when the caption marks no letter.
  fMnemonicId = grabShortcut(QKeySequence::mnemonic(fCaption));
}

QColor TzcCustomOnOff::Color() const { return orPalette(fColor, this, QPalette::Button); }
QColor TzcCustomOnOff::BackColor() const { return orPalette(fBackColor, this, QPalette::Button); }
QColor TzcCustomOnOff::HighLightColor() const { return orPalette(fHigh, this, QPalette::Light); }
QColor TzcCustomOnOff::ShadowColor() const { return orPalette(fShadow, this, QPalette::Dark); }

void TzcCustomOnOff::setColor(const QColor& c) {
  if (c == fColor) return;
  fColor = c;
  update();
}
void TzcCustomOnOff::setBackColor(const QColor& c) {
  if (c == fBackColor) return;
  fBackColor = c;
  update();
}
void TzcCustomOnOff::setHighLightColor(const QColor& c) {
  if (c == fHigh) return;
  fHigh = c;
  update();
}
void TzcCustomOnOff::setShadowColor(const QColor& c) {
  if (c == fShadow) return;
  fShadow = c;
  update();
}

void TzcCustomOnOff::setFlag(bool& field, bool v) {
  if (field == v) return;
  field = v;
  update();
}

void TzcCustomOnOff::setShowTextPress(bool v) { setFlag(fShowPress, v); }
void TzcCustomOnOff::setUseFocusBold(bool v) { setFlag(fBold, v); }
void TzcCustomOnOff::setUseFocusFrame(bool v) { setFlag(fFrame, v); }
void TzcCustomOnOff::setAutofocus(bool v) { fAutoFocus = v; }
void TzcCustomOnOff::setMultipleLines(bool v) { setFlag(fMulti, v); }
void TzcCustomOnOff::setWordWrap(bool v) { setFlag(fWordWrap, v); }
void TzcCustomOnOff::setSteelLook(bool v) { setFlag(fSteel, v); }

void TzcCustomOnOff::setHorzAlign(zbHorzAlign v) {
  if (v == fHorzAlign) return;
  fHorzAlign = v;
  update();
}

void TzcCustomOnOff::setAlignment(Qt::Alignment v) {
  v &= Qt::AlignHorizontal_Mask;
  if (v == fAlign) return;
  fAlign = v;
  update();
}

void TzcCustomOnOff::setGlyphAlign(TzcOnOffGraphPlacement v) {
  if (v == fGlyphAlign) return;
  fGlyphAlign = v;
  UpdateRegions();
  update();
}

void TzcCustomOnOff::DrawDisabled(QPainter&) {}
void TzcCustomOnOff::DrawOn(QPainter&) {}
void TzcCustomOnOff::DrawOff(QPainter&) {}

void TzcCustomOnOff::DrawCaption(const QRect& r, QPainter& canvas) {
  QFont f = font();
  f.setBold(hasFocus() && fBold);
  f.setItalic(false);
  f.setUnderline(false);
  f.setStrikeOut(false);
  canvas.setFont(f);

  QRect rect = r;
  if (isEnabled() && fDown && fShowPress) rect.translate(1, 1);

  int flags = int(fAlign) | Qt::TextShowMnemonic;
  if (fMulti) {
    // Several lines always start at the top; vertical centring and bottom placement only
    // make sense for a single line.
    flags |= Qt::AlignTop;
    if (fWordWrap) flags |= Qt::TextWordWrap;
  } else {
    // One line means one line: line breaks are shown as spaces and nothing wraps.
    flags |= Qt::TextSingleLine;
    switch (fHorzAlign) {
      case zbha_Center: flags |= Qt::AlignVCenter; break;
      case zbha_Top: flags |= Qt::AlignTop; break;
      case zbha_Bottom: flags |= Qt::AlignBottom; break;
    }
  }
  const QString text = fCaption.left(kMaxCaptionLength);

  canvas.save();
  canvas.setBrush(Qt::NoBrush);
  if (isEnabled()) {
    canvas.setClipRect(rect);
    canvas.setPen(palette().color(QPalette::WindowText));
    canvas.drawText(rect, flags, text);
  } else {
    // Engraved: a white copy one pixel down-right under the grey text.
    canvas.setClipRect(rect.adjusted(0, 0, 1, 1));
    canvas.setPen(QColor(0xFF, 0xFF, 0xFF));
    canvas.drawText(rect.translated(1, 1), flags, text);
    canvas.setPen(QColor(0x80, 0x80, 0x80));
    canvas.drawText(rect, flags, text);
  }
  canvas.restore();
}

void TzcCustomOnOff::UpdateRegions() {
  fOnReg = MakeOnRegion();
  fOffReg = MakeOffRegion();
  fRegSize = size();
}

QRegion TzcCustomOnOff::MakeOnRegion() { return QRegion(0, 0, width(), height() / 2); }

QRegion TzcCustomOnOff::MakeOffRegion() {
  return QRegion(0, height() / 2, width(), height() - height() / 2);
}

const QRegion& TzcCustomOnOff::activeRegion() {
  if (fRegSize != size()) UpdateRegions();
  return fOn ? fOffReg : fOnReg;
}

bool TzcCustomOnOff::canTakeFocus() const {
  return isEnabled() && (focusPolicy() & Qt::TabFocus);
}

void TzcCustomOnOff::paintEvent(QPaintEvent*) {
  const qreal dpr = devicePixelRatioF();
  const QSize pixels = (QSizeF(size()) * dpr).toSize();
  if (fBuffer.size() != pixels || fBuffer.devicePixelRatio() != dpr) {
    fBuffer = QPixmap(pixels);
    fBuffer.setDevicePixelRatio(dpr);
  }
  {
    QPainter canvas(&fBuffer);
    canvas.setPen(QPen(Qt::black, 1));
    if (fSteel) {
      canvas.fillRect(rect(), QBrush(SteelPattern()));
    } else {
      canvas.fillRect(rect(), BackColor());
    }
    if (!isEnabled()) {
      DrawDisabled(canvas);
    } else if (fOn) {
      DrawOn(canvas);
    } else {
      DrawOff(canvas);
    }
    if (hasFocus() && isEnabled() && fFrame) {
      // A dotted frame inverted onto what is there, so it shows on any face colour.
      QPen dots(Qt::white, 1);
      dots.setDashPattern({1, 1});
      canvas.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
      canvas.setPen(dots);
      canvas.setBrush(Qt::NoBrush);
      canvas.drawRect(rect().adjusted(0, 0, -1, -1));
    }
  }
  QPainter(this).drawPixmap(0, 0, fBuffer);
  emit OnPaint(this);
}

void TzcCustomOnOff::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  UpdateRegions();
}

void TzcCustomOnOff::mousePressEvent(QMouseEvent* e) {
  // Accepted whatever the button, so the implicit grab stays with this control and the
  // release comes back here even when it happens outside.
  e->accept();
  if (e->button() != Qt::LeftButton) return;
  fClickBegun = true;
  if (!isEnabled()) return;
  const QPoint p = e->position().toPoint();
  if (!rect().contains(p) || !activeRegion().contains(p)) return;
  if (!fDown) {
    if (canTakeFocus()) setFocus(Qt::MouseFocusReason);
    fDown = true;
    update();
  }
  fDraging = true;
  ++fPressSerial;
}

void TzcCustomOnOff::mouseDoubleClickEvent(QMouseEvent* e) {
  // Qt replaces the second press of a double-click by this event; the switch treats it
  // as the press it is, so a double-click flips twice.
  mousePressEvent(e);
}

void TzcCustomOnOff::mouseMoveEvent(QMouseEvent* e) {
  if (!fDraging) {
    QWidget::mouseMoveEvent(e);
    return;
  }
  e->accept();
  const bool inside = rect().contains(e->position().toPoint());
  if (inside != fDown) {
    fDown = inside;
    update();
  }
}

void TzcCustomOnOff::mouseReleaseEvent(QMouseEvent* e) {
  e->accept();
  if (e->button() != Qt::LeftButton) return;
  const unsigned serial = fPressSerial;
  if (fClickBegun) {
    fClickBegun = false;
    if (rect().contains(e->position().toPoint())) {
      QPointer<TzcCustomOnOff> self(this);
      Click();
      if (!self) return;
    }
  }
  if (fDraging && serial == fPressSerial) {
    fDown = false;
    fDraging = false;
    update();
  }
}

void TzcCustomOnOff::keyPressEvent(QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Space:
      e->accept();
      if (!e->isAutoRepeat() && !fDown) {
        if (canTakeFocus() && !hasFocus()) setFocus(Qt::OtherFocusReason);
        fDraging = false;
        fDown = true;
        update();
      }
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (canTakeFocus()) {
        e->accept();
        fKeyBoard = true;
        Click();
        return;
      }
      break;
    default:
      break;
  }
  QWidget::keyPressEvent(e);
}

void TzcCustomOnOff::keyReleaseEvent(QKeyEvent* e) {
  if (e->key() != Qt::Key_Space) {
    QWidget::keyReleaseEvent(e);
    return;
  }
  e->accept();
  // Qt reports a held key as release/press pairs; only the real release counts.
  if (e->isAutoRepeat()) return;
  if (fDown && !fDraging) {
    fDown = false;
    fKeyBoard = true;
    Click();
  }
}

void TzcCustomOnOff::focusInEvent(QFocusEvent* e) {
  QWidget::focusInEvent(e);
  update();
}

void TzcCustomOnOff::focusOutEvent(QFocusEvent* e) {
  QWidget::focusOutEvent(e);
  fDown = false;
  fDraging = false;
  update();
}

void TzcCustomOnOff::enterEvent(QEnterEvent* e) {
  QWidget::enterEvent(e);
  if (fAutoFocus && !hasFocus() && canTakeFocus()) setFocus(Qt::MouseFocusReason);
  emit OnMouseEnter(this);
}

void TzcCustomOnOff::leaveEvent(QEvent* e) {
  QWidget::leaveEvent(e);
  emit OnMouseLeave(this);
}

void TzcCustomOnOff::changeEvent(QEvent* e) {
  switch (e->type()) {
    case QEvent::EnabledChange:
      // A disabled control gets no more mouse or key events, so a press in progress
      // could never finish; drop it rather than leave the caption pressed.
      if (!isEnabled()) {
        fDown = false;
        fDraging = false;
        fKeyBoard = false;
        fClickBegun = false;
      }
      update();
      break;
    case QEvent::FontChange:
    case QEvent::PaletteChange:
    case QEvent::StyleChange:
      update();
      break;
    default:
      break;
  }
  QWidget::changeEvent(e);
}

bool TzcCustomOnOff::event(QEvent* e) {
  if (e->type() == QEvent::Shortcut) {
    if (canTakeFocus()) {
      fKeyBoard = true;
      Click();
    }
    return true;
  }
  return QWidget::event(e);
}

// ---------------------------------------------------------------------------------------
// TzcLightOnOff

TzcLightOnOff::TzcLightOnOff(QWidget* parent) : TzcCustomOnOff(parent) {
  fColor = QColor();  // button face, from the palette
  fShowPress = false;
  applySizeMinimum();
  resize(45, 60);
  CalcGeometry();
  UpdateRegions();
}

void TzcLightOnOff::applySizeMinimum() {
  setMinimumSize(10 * fSize + 18, 10 * fSize + 33);
}

void TzcLightOnOff::setSize(TzcOnOffSize s) {
  s = std::clamp(s, 1, 3);
  if (s == fSize) return;
  fSize = s;
  // Raising the minimum grows the widget at once if it is now too small; lowering it
  // leaves the bounds as they are.
  applySizeMinimum();
  CalcGeometry();
  UpdateRegions();
  update();
}

void TzcLightOnOff::setOnColor(const QColor& c) {
  if (c == fOnCol) return;
  fOnCol = c;
  update();
}

void TzcLightOnOff::setOffColor(const QColor& c) {
  if (c == fOffCol) return;
  fOffCol = c;
  update();
}

void TzcLightOnOff::CalcGeometry() {
  const int S = fSize;
  const int w = width();
  const int h = height();
  gWidth = 10 * S + 15;
  gHeight = 10 * S + 30;
  switch (fGlyphAlign) {
    case zcgp_Top:
      gleft = (w - gWidth) / 2;
      gTop = 0;
      tLeft = 0;
      tTop = gHeight + 1;
      tWidth = w;
      tHeight = h - gHeight - 1;
      break;
    case zcgp_Bottom:
      gleft = (w - gWidth) / 2;
      gTop = h - gHeight;
      tLeft = 0;
      tTop = 0;
      tWidth = w;
      tHeight = h - gHeight - 1;
      break;
    case zcgp_Left:
      gleft = 0;
      gTop = (h - gHeight) / 2;
      tLeft = gWidth + 1;
      tTop = 0;
      tWidth = w - gWidth - 1;
      tHeight = h;
      break;
    case zcgp_Right:
      gleft = w - gWidth - 2;
      gTop = (h - gHeight) / 2;
      tLeft = 0;
      tTop = 0;
      tWidth = w - gWidth - 1;
      tHeight = h;
      break;
  }
  H1 = 2 * S;
  H2 = gHeight / 4;
  H4 = (gHeight - H1 - H2) / 2;
  H3 = gHeight - H1 - H2 - H4;
  W1 = gWidth / 10;
  W2 = 2 * W1;
}

QRegion TzcLightOnOff::MakeOnRegion() {
  CalcGeometry();
  const int L = gleft, T = gTop, W = gWidth, H = gHeight;
  return QRegion(QPolygon({{L + W1, T + H1 + H3},
                           {L + W - W1, T + H1 + H3},
                           {L + W - W2, T + H - H2},
                           {L, T + H - H2}}));
}

QRegion TzcLightOnOff::MakeOffRegion() {
  CalcGeometry();
  const int L = gleft, T = gTop, W = gWidth;
  return QRegion(QPolygon({{L, T + H2},
                           {L + W - W2, T + H2},
                           {L + W - W1, T + H2 + H4},
                           {L + W1, T + H2 + H4}}));
}

QRect TzcLightOnOff::LampRect(bool on) const {
  const int L = gleft, T = gTop, W = gWidth, H = gHeight;
  QPoint first, past;  // past = right/bottom, exclusive
  if (on) {
    first = fSize == 1 ? QPoint(L + W2 + 2 * W1 - 1, T + H - 3 * H1 - 2)
                       : QPoint(L + W2 + 2 * W1, T + H - 3 * H1);
    past = QPoint(L + W - 2 * W2 + W1 + 1, T + H - 2 * H1);
  } else {
    first = fSize == 1 ? QPoint(L + W2 + W1 - 1, T + H - H2 - 2 * H1 - 2)
                       : QPoint(L + W2 + W1, T + H - H2 - 2 * H1);
    past = QPoint(L + W - 2 * W2 + 1, T + H - H1 - H2);
  }
  return QRect(first, past - QPoint(1, 1));
}

void TzcLightOnOff::drawPolygon(QPainter& canvas, const QColor& fill,
                                std::initializer_list<QPoint> pts) {
  TempRgn.clear();
  for (const QPoint& p : pts) TempRgn << p;
  canvas.setPen(QPen(Qt::black, 1));
  canvas.setBrush(fill);
  canvas.drawPolygon(TempRgn);
}

void TzcLightOnOff::drawOpenPolyline(QPainter& canvas, const QColor& pen,
                                     std::initializer_list<QPoint> pts) {
  QPolygon line(pts);
  if (line.size() < 2) return;
  QPoint& last = line.last();
  const QPoint& prev = line.at(line.size() - 2);
  last += QPoint(sign(prev.x() - last.x()), sign(prev.y() - last.y()));
  canvas.setPen(QPen(pen, 1));
  canvas.setBrush(Qt::NoBrush);
  canvas.drawPolyline(line);
}

void TzcLightOnOff::drawBottomEdge(QPainter& canvas) {
  const int L = gleft, T = gTop, W = gWidth, H = gHeight;
  if (fSize == 1) {
    drawPolygon(canvas, Qt::black,
                {{L + W2 - 1, T + H - 1}, {L + W2 - 1, T + H}, {L + W, T + H}, {L + W, T + H - 1}});
  } else {
    drawPolygon(canvas, Qt::black,
                {{L + W - 1, T},
                 {L + W - 1, T + H - 1},
                 {L + W2 - 1, T + H - 1},
                 {L + W2 - 1, T + H},
                 {L + W, T + H},
                 {L + W, T}});
  }
}

void TzcLightOnOff::drawLamp(QPainter& canvas, bool on) {
  const QColor col = on ? fOnCol : fOffCol;
  const QRect covered = LampRect(on);
  // A 3S x 3S corner ellipse, pixel by pixel: a pixel of a corner box is left
  // unpainted when its centre lies outside the ellipse of that box, which for
  // S = 1 takes just the four corner pixels away. Smooth curves this small
  // would rasterise to a plain rectangle.
  const int d = 3 * fSize;
  const bool rounded = covered.width() >= d && covered.height() >= d;
  const double centre = (d - 1) / 2.0;
  const double radius = d / 2.0 - 0.25;
  for (int y = covered.top(); y <= covered.bottom(); ++y) {
    for (int x = covered.left(); x <= covered.right(); ++x) {
      const int cx = std::min(x - covered.left(), covered.right() - x);
      const int cy = std::min(y - covered.top(), covered.bottom() - y);
      if (rounded && 2 * cx < d && 2 * cy < d) {
        const double dx = (centre - cx) / radius, dy = (centre - cy) / radius;
        if (dx * dx + dy * dy > 1.0) continue;
      }
      canvas.fillRect(x, y, 1, 1, col);
    }
  }
}

void TzcLightOnOff::DrawOff(QPainter& canvas) {
  CalcGeometry();
  const int L = gleft, T = gTop, W = gWidth, H = gHeight;
  drawPolygon(canvas, ShadowColor(),
              {{L + W, T},
               {L + W, T + H},
               {L + W - W2, T + H - H2},
               {L + W - W1, T + H1 + H3},
               {L + W - W1, T + H1}});
  drawPolygon(canvas, ShadowColor(),
              {{L + W, T + H}, {L + W2, T + H}, {L, T + H - H2}, {L + W - W2, T + H - H2}});
  drawPolygon(canvas, HighLightColor(),
              {{L + W2, T}, {L + W, T}, {L + W - W1, T + H1}, {L + W1, T + H1}});
  // Upper half, pressed in and flat.
  drawPolygon(canvas, Color(),
              {{L + W1, T + H1}, {L + W - W1, T + H1}, {L + W - W1, T + H1 + H3}, {L + W1, T + H1 + H3}});
  // Lower half, raised: the part a press must hit.
  drawPolygon(canvas, Color(),
              {{L + W1, T + H1 + H3},
               {L + W - W1, T + H1 + H3},
               {L + W - W2, T + H - H2},
               {L, T + H - H2}});
  drawBottomEdge(canvas);
  drawLamp(canvas, false);
  DrawCaption(QRect(tLeft, tTop, tWidth, tHeight), canvas);
}

void TzcLightOnOff::DrawOn(QPainter& canvas) {
  CalcGeometry();
  const int L = gleft, T = gTop, W = gWidth, H = gHeight;
  drawPolygon(canvas, ShadowColor(),
              {{L + W, T},
               {L + W, T + H},
               {L + W - W1, T + H - H1},
               {L + W - W1, T + H - H1 - H3},
               {L + W - W2, T + H2}});
  drawPolygon(canvas, ShadowColor(),
              {{L + W1, T + H - H1}, {L + W - W1, T + H - H1}, {L + W, T + H}, {L + W2, T + H}});
  drawPolygon(canvas, HighLightColor(),
              {{L + W2, T}, {L + W, T}, {L + W - W2, T + H2}, {L, T + H2}});
  // Upper half, raised: the part a press must hit.
  drawPolygon(canvas, Color(),
              {{L, T + H2}, {L + W - W2, T + H2}, {L + W - W1, T + H2 + H4}, {L + W1, T + H2 + H4}});
  // Lower half, pressed in and flat.
  drawPolygon(canvas, Color(),
              {{L + W1, T + H2 + H4}, {L + W - W1, T + H2 + H4}, {L + W - W1, T + H - H1}, {L + W1, T + H - H1}});
  drawBottomEdge(canvas);
  drawLamp(canvas, true);
  DrawCaption(QRect(tLeft, tTop, tWidth, tHeight), canvas);
}

void TzcLightOnOff::DrawDisabled(QPainter& canvas) {
  CalcGeometry();
  const int L = gleft, T = gTop, W = gWidth, H = gHeight;
  // A flat plate without a lamp.
  drawPolygon(canvas, Color(), {{L, T}, {L, T + H}, {L + W, T + H}, {L + W, T}});
  drawOpenPolyline(canvas, HighLightColor(), {{L, T + H}, {L, T}, {L + W + 1, T}});
  drawOpenPolyline(canvas, ShadowColor(), {{L + W, T + 1}, {L + W, T + H - 1}, {L + 1, T + H - 1}});
  DrawCaption(QRect(tLeft, tTop, tWidth, tHeight), canvas);
}

}  // namespace ui
