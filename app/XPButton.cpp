#include "XPButton.h"

#include <QEnterEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace {

QFont CaptionFont() {
  QFont font("Times New Roman");
  font.setPointSizeF(8.25);
  font.setWeight(QFont::Normal);
  font.setItalic(false);
  font.setUnderline(false);
  font.setStrikeOut(false);
  // Ligatures blur a caption this small ("ff" in "Sign Off").
  font.setStyleStrategy(QFont::PreferNoShaping);
  return font;
}

}  // namespace

XPButton::XPButton(const QString& caption, QWidget* parent) : QAbstractButton(parent) {
  setText(caption);
  setEnabled(true);
  setFont(CaptionFont());
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_Hover, true);
  // Nothing here clicks but assistive technology and automation (the
  // accessible press action, click()): theirs is a press like any other.
  connect(this, &QAbstractButton::clicked, this,
          [this] { emit Press(Qt::NoButton, Qt::NoModifier, 0, 0); });
}

void XPButton::SetColors(QColor face, QColor caption, QColor hoverCaption, QColor embossMain,
                         QColor embossShine) {
  bcol_ = face;
  fcol_ = caption;
  fcolo_ = hoverCaption;
  embossm_ = embossMain;
  embosss_ = embossShine;
  update();
}

QSize XPButton::sizeHint() const {
  const QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(text()) + 12, metrics.height() + 4};
}

void XPButton::paintEvent(QPaintEvent* /*event*/) {
  QPainter p(this);
  const QRect r = rect();
  p.fillRect(r, bcol_);
  // Outer edge in silver, a white light along the top and left inside it;
  // with the focus, the outer edge lights up in the bright caption green.
  p.setPen(hasFocus() ? fcolo_ : embossm_);
  p.drawRect(r.adjusted(0, 0, -1, -1));
  p.setPen(embosss_);
  p.drawLine(1, 1, r.width() - 2, 1);
  p.drawLine(1, 1, 1, r.height() - 2);

  QColor caption = hovered_ ? fcolo_ : fcol_;
  if (!isEnabled()) caption = embossm_.darker(150);
  p.setPen(caption);
  p.setFont(font());
  p.drawText(r.adjusted(2, 1, -2, -1), Qt::AlignCenter | Qt::TextSingleLine, text());
}

void XPButton::mousePressEvent(QMouseEvent* event) {
  if (!isEnabled()) return;
  event->accept();
  const QPoint at = event->position().toPoint();
  // The press may start a move that runs its own event loop; a receiver may
  // even delete the button.
  emit Press(event->button(), event->modifiers(), at.x(), at.y());
}

// The press has been reported already; release and moves are nobody's business.
void XPButton::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
}
void XPButton::mouseMoveEvent(QMouseEvent* event) {
  event->accept();
}

void XPButton::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();
      if (event->isAutoRepeat()) return;  // one press per keystroke
      emit Press(Qt::NoButton, event->modifiers(), 0, 0);
      return;
    default:
      break;
  }
  QAbstractButton::keyPressEvent(event);
}

void XPButton::keyReleaseEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space) {
    event->accept();  // keep the base class from clicking
    return;
  }
  QAbstractButton::keyReleaseEvent(event);
}

void XPButton::enterEvent(QEnterEvent* event) {
  hovered_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void XPButton::leaveEvent(QEvent* event) {
  hovered_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

bool XPButton::hitButton(const QPoint& pos) const {
  return rect().contains(pos);
}
