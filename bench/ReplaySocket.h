#pragma once

// A connected socket for benchmarks of the control alone: arrivals come from
// a prepared buffer, and what the control sends is only counted.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kez/Socket.h"

namespace kez::bench {

class ReplaySocket final : public Socket {
 public:
  std::string_view pending;
  std::size_t sent = 0;
  void Close() override {}
  void Connect(const std::string&, int32_t) override {}
  void SendData(std::string_view bytes) override { sent += bytes.size(); }
  void GetData(std::string& data) override {
    data.append(pending);
    pending = {};
  }
  bool IsConnected() const override { return true; }
  void Connected() { NotifyConnected(); }
  void Arrive(std::string_view bytes) {
    pending = bytes;
    NotifyDataArrival();
  }
};

}  // namespace kez::bench
