#pragma once

#include <QLineEdit>

// A single-line text box that reports a mouse button going down, after the box
// has taken the press itself (focus, cursor).
class TextBox : public QLineEdit {
  Q_OBJECT

 public:
  explicit TextBox(const QString& text, QWidget* parent = nullptr);

 signals:
  void MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};
