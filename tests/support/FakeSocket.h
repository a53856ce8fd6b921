#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "kez/Socket.h"

namespace kez::test {

// A socket the test drives by hand: it records every byte sent and delivers
// notifications when told to.
class FakeSocket final : public Socket {
 public:
  // Calls made on the socket, in order: "Close", "Connect host:port".
  std::vector<std::string> calls;
  // Every byte handed to SendData since the last TakeSent().
  std::string sent;
  std::string incoming;
  bool connected = false;
  bool refuseConnect = false;  // Connect throws, as a socket refusing at once would

  void Close() override {
    calls.push_back("Close");
    connected = false;
  }
  void Connect(const std::string& host, int32_t port) override {
    calls.push_back("Connect " + host + ":" + std::to_string(port));
    if (refuseConnect) throw std::runtime_error("refused at once");
  }
  void SendData(std::string_view bytes) override { sent.append(bytes); }
  void GetData(std::string& data) override {
    data += incoming;
    incoming.clear();
  }
  bool IsConnected() const override { return connected; }

  std::string TakeSent() { return std::exchange(sent, {}); }

  // Notifications, as the event loop would deliver them.
  void Connected() {
    connected = true;
    NotifyConnected();
  }
  void Arrive(std::string_view bytes) {
    incoming.append(bytes);
    NotifyDataArrival();
  }
  void Fail(int number, const std::string& description) { NotifyError(number, description); }
  void PeerClosed() {
    connected = false;
    NotifyClosedByPeer();
  }
};

}  // namespace kez::test
