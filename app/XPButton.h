#pragma once

#include <QAbstractButton>
#include <QColor>

// The window's button: a black face with a green caption that brightens under
// the mouse, edged in silver and white. It reports its press when the mouse
// button goes down (so the press can start a move of the button) and on Space
// or Enter while it has the focus; it has no click on release. The
// accessible press action (and click()) reports a press too.
class XPButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit XPButton(const QString& caption, QWidget* parent = nullptr);

  // The settings by their own keys.
  QColor bcol() const { return bcol_; }        // face
  QColor fcol() const { return fcol_; }        // caption
  QColor fcolo() const { return fcolo_; }      // caption under the mouse
  QColor embossm() const { return embossm_; }  // outer edge
  QColor embosss() const { return embosss_; }  // inner light edge
  void SetColors(QColor face, QColor caption, QColor hoverCaption, QColor embossMain,
                 QColor embossShine);

  QSize sizeHint() const override;

 signals:
  // The mouse button (Qt::NoButton from the keyboard), the modifiers and the
  // place within the button.
  void Press(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  bool hitButton(const QPoint& pos) const override;

 private:
  QColor bcol_{0x00, 0x00, 0x00};
  QColor fcol_{0x00, 0xC0, 0x00};
  QColor fcolo_{0x00, 0xFF, 0x00};
  QColor embossm_{0xC0, 0xC0, 0xC0};
  QColor embosss_{0xFF, 0xFF, 0xFF};
  bool hovered_ = false;
};
