#pragma once

#include <string>

#include "kez/Socket.h"

namespace kez::fuzz {

// A connected socket whose arrivals the fuzz target feeds by hand.
class FuzzSocket final : public Socket {
 public:
  bool connected = true;
  std::string incoming;
  std::size_t sentBytes = 0;

  void Close() override { connected = false; }
  void Connect(const std::string&, int32_t) override { connected = true; }
  void SendData(std::string_view bytes) override { sentBytes += bytes.size(); }
  void GetData(std::string& data) override {
    data += incoming;
    incoming.clear();
  }
  bool IsConnected() const override { return connected; }

  // The connection opens: the control sends its opening string.
  void Opened() {
    connected = true;
    NotifyConnected();
  }
  void Arrive(std::string_view bytes) {
    incoming.append(bytes);
    NotifyDataArrival();
  }
  void Fail(int number, const std::string& description) {
    connected = false;
    NotifyError(number, description);
  }
  void PeerClosed() {
    connected = false;
    NotifyClosedByPeer();
  }
};

}  // namespace kez::fuzz
