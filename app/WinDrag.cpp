#include "WinDrag.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QWidget>
#include <QWindow>
#include <algorithm>

namespace WinDrag {

namespace {

// The mouse as the platform last reported it: which buttons are held, and
// where on the screen the latest press was. The press has already been
// delivered by the time DragWindow runs, so it is noted as it passes.
class PressTracker : public QObject {
 public:
  QPointF lastPress;
  Qt::MouseButtons held = Qt::NoButton;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    // A release that happens while another program has the mouse never
    // reaches us.
    if (event->type() == QEvent::ApplicationDeactivate) held = Qt::NoButton;
    if (!watched->isWindowType()) return false;
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
        lastPress = static_cast<QMouseEvent*>(event)->globalPosition();
        [[fallthrough]];
      case QEvent::MouseButtonRelease:
      case QEvent::MouseMove:
        held = static_cast<QMouseEvent*>(event)->buttons();
        break;
      default:
        break;
    }
    return false;
  }
};

PressTracker* tracker = nullptr;

void InstallTracker() {
  tracker = new PressTracker;
  tracker->setParent(QCoreApplication::instance());
  QCoreApplication::instance()->installEventFilter(tracker);
}
Q_COREAPP_STARTUP_FUNCTION(InstallTracker)

// Follows the mouse while the move runs: every mouse event on a widget is
// taken, so neither the moved control nor anything under it reacts.
class Mover : public QObject {
 public:
  Mover(QWidget* target, QPointF pressGlobal, QEventLoop& loop)
      : target_(target), origin_(target->pos()), press_(pressGlobal), loop_(loop) {}

  bool cancelled = false;

  void Follow(QPointF global) {
    if (!target_ || cancelled) return;  // given up: it stays where it began
    const QPointF travel = global - press_;
    QPoint place = origin_ + travel.toPoint();
    // A control dragged out of sight could not be got back.
    if (!target_->isWindow() && target_->parentWidget()) {
      const QSize room = target_->parentWidget()->size() - target_->size();
      place.setX(std::clamp(place.x(), 0, std::max(0, room.width())));
      place.setY(std::clamp(place.y(), 0, std::max(0, room.height())));
    }
    target_->move(place);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseMove:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseButtonRelease: {
        // The platform window does its own bookkeeping (which widget holds
        // the implicit grab); only the widgets are kept out of it.
        if (!watched->isWidgetType()) return false;
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (event->type() == QEvent::MouseMove) {
          Follow(mouse->globalPosition());
          // A move with no button held: the release went missing.
          if (mouse->buttons() == Qt::NoButton) loop_.quit();
        } else if (event->type() == QEvent::MouseButtonRelease) {
          Follow(mouse->globalPosition());
          if (mouse->buttons() == Qt::NoButton) loop_.quit();
        }
        return true;
      }
      case QEvent::KeyPress:
        if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
          // Escape puts the window back where it was.
          if (target_) target_->move(origin_);
          cancelled = true;
          loop_.quit();
          return true;
        }
        return false;
      case QEvent::ApplicationDeactivate:
        loop_.quit();
        return false;
      default:
        return false;
    }
  }

 private:
  QPointer<QWidget> target_;
  QPoint origin_;
  QPointF press_;
  QEventLoop& loop_;
};

bool WindowManagerMovesWindows() {
  return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

bool running = false;
bool lastCancelled = false;

}  // namespace

bool LastMoveCancelled() {
  return lastCancelled;
}

void DragWindow(QWidget* window) {
  // Without a press from the platform still held (a key pressed the button,
  // or the release has come already) there is nothing to follow.
  if (!window || running) return;
  lastCancelled = false;
  if (!tracker || tracker->held == Qt::NoButton) return;

  if (window->isWindow() && WindowManagerMovesWindows()) {
    // Only the window manager may move a top-level window here, and it keeps
    // the release to itself: return once the move is under way.
    if (QWindow* handle = window->windowHandle()) handle->startSystemMove();
    tracker->held = Qt::NoButton;  // the release goes to the window manager
    return;
  }

  running = true;
  QEventLoop loop;
  QPointer<QWidget> target(window);
  Mover mover(window, tracker->lastPress, loop);
  QObject::connect(window, &QObject::destroyed, &loop, &QEventLoop::quit);
  QCoreApplication::instance()->installEventFilter(&mover);
  window->grabMouse();
  loop.exec();
  if (target) target->releaseMouse();
  QCoreApplication::instance()->removeEventFilter(&mover);
  lastCancelled = mover.cancelled;
  running = false;
}

}  // namespace WinDrag
