#pragma once

#include <QLabel>

// A picture that reports a mouse button going down on it.
class PictureBox : public QLabel {
  Q_OBJECT

 public:
  explicit PictureBox(QWidget* parent = nullptr);

 signals:
  void MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};
