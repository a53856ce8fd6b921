#include "QtTimer.h"

#include <utility>

QtTimer::QtTimer() {
  timer_.setSingleShot(true);
  // The call is taken out first: it may start the timer again.
  QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
    if (std::function<void()> due = std::exchange(due_, nullptr)) due();
  });
}

void QtTimer::Start(std::chrono::milliseconds wait, std::function<void()> due) {
  due_ = std::move(due);
  timer_.start(wait);
}

void QtTimer::Cancel() {
  timer_.stop();
  due_ = nullptr;
}
