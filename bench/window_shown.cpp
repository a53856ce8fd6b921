// The window program's start, up to its first picture: the same steps as
// app/main.cpp, plus a hook that says "shown" once the window has been
// painted and handed to the platform. bench_window times it from outside.
// With --bare it shows an empty widget of the same size instead: the floor
// of any Qt Widgets window (the libraries, the platform, the fonts).

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "Form1.h"

namespace {

// Says "shown" once, on the turn of the event loop after the first paint,
// when that paint has been flushed.
class ShownProbe : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !seen_) {
      seen_ = true;
      QTimer::singleShot(0, [] {
        std::fputs("shown\n", stdout);
        std::fflush(stdout);
      });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool seen_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("reposa");
  QApplication::setApplicationDisplayName("Reposa");
  QGuiApplication::setDesktopFileName("reposa");
  ShownProbe probe;
  if (argc > 1 && std::strcmp(argv[1], "--bare") == 0) {
    QWidget bare;
    bare.resize(Form1().size());
    bare.installEventFilter(&probe);
    bare.show();
    return QApplication::exec();
  }
  Form1 form;
  form.installEventFilter(&probe);
  form.show();
  return QApplication::exec();
}
