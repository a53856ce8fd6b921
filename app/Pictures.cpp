#include "Pictures.h"

#include <QPainter>
#include <QRadialGradient>
#include <QVector>
#include <algorithm>

namespace Pictures {

namespace {

// The standard 16-colour palette.
QVector<QRgb> StandardPalette() {
  return {qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
          qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
          qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
          qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
}

}  // namespace

QImage Icon() {
  QImage canvas(32, 32, QImage::Format_RGB32);
  canvas.fill(Qt::black);
  {
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(Qt::white, 0));
    // One pixel in from the sides, two from the top and bottom.
    p.drawRect(1, 2, 29, 27);
    // Four "lines of text": dashes of uneven length, as words would be.
    const int widths[4][4] = {{4, 3, 5, 2}, {3, 5, 2, 4}, {5, 2, 4, 3}, {2, 4, 3, 5}};
    for (int band = 0; band < 4; ++band) {
      const int y = 5 + band * 3;
      int x = 4;
      for (int w : widths[band]) {
        p.fillRect(x, y, w, 2, QColor(0, 255, 0));
        x += w + 2;
      }
    }
  }
  // Every colour used is in the palette, so the conversion is exact.
  return canvas.convertToFormat(QImage::Format_Indexed8, StandardPalette(),
                                Qt::ThresholdDither | Qt::AvoidDither);
}

QImage Background() {
  constexpr int kWidth = 361;
  constexpr int kHeight = 241;
  QImage canvas(kWidth, kHeight, QImage::Format_RGB32);
  canvas.fill(Qt::black);
  QPainter p(&canvas);
  p.setRenderHint(QPainter::Antialiasing, true);

  // The rings fade towards the outside, as if lit from their centre.
  const QPointF centre(128, 124);
  for (int r = 10; r < 330; r += 14) {
    const int alpha = std::max(40, 255 - r * 2 / 3);
    p.setPen(QPen(QColor(0, 255, 0, alpha), r % 28 == 10 ? 2.0 : 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, r, r);
  }

  // The glow is added on top, so the rings show through it.
  p.setCompositionMode(QPainter::CompositionMode_Plus);
  QRadialGradient glow(QPointF(kWidth, 0), 230);
  glow.setColorAt(0.0, QColor(255, 255, 255, 255));
  glow.setColorAt(0.25, QColor(200, 255, 200, 140));
  glow.setColorAt(0.6, QColor(60, 120, 60, 40));
  glow.setColorAt(1.0, QColor(0, 0, 0, 0));
  p.fillRect(canvas.rect(), glow);
  p.end();
  return canvas;
}

}  // namespace Pictures
