#pragma once

#include <QTimer>
#include <chrono>
#include <functional>

#include "kez/host/KeepPresent.h"

// The keep-present component's timer on the window's Qt event loop.
class QtTimer final : public kez::host::Timer {
 public:
  QtTimer();
  void Start(std::chrono::milliseconds wait, std::function<void()> due) override;
  void Cancel() override;

 private:
  QTimer timer_;
  std::function<void()> due_;
};
