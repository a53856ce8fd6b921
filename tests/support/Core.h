#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "RecordingListener.h"
#include "Wire.h"
#include "kez/SessionCore.h"

namespace kez::test {

// The protocol fixture: a session core with a recording listener, its output
// gathered in `sent` and its close requests in `calls`; no socket anywhere.
struct Core {
  RecordingListener events;
  std::unique_ptr<SessionCore> control;
  std::string sent;                // every byte given out since the last TakeSent()
  std::vector<std::string> calls;  // "Close" for each close request

  Core() : control(std::make_unique<SessionCore>(&events)) {
    control->SetSend([this](std::string_view bytes) { sent.append(bytes); });
    control->SetClose([this] { calls.push_back("Close"); });
  }

  // Login and open, with the opening string and calls cleared away.
  void Connect(std::string_view name = "Some Body", std::string_view password = "password") {
    control->Login(name, password, "toc.example", 5190);
    control->Opened();
    sent.clear();
    calls.clear();
  }
  void Arrive(std::string_view bytes) { control->Receive(bytes); }
  std::string TakeSent() { return std::exchange(sent, {}); }

  // The sequence number the next frame goes out with (spends it on a
  // keep-alive, opening the connection if need be).
  int NextSequence() {
    if (!control->IsOpen()) control->Opened();
    sent.clear();
    control->SendPacket(5, {});
    const std::string frame = TakeSent();
    if (frame.size() < 4) return -1;
    return static_cast<unsigned char>(frame[2]) * 256 + static_cast<unsigned char>(frame[3]);
  }

  // The toc2_login line the core answers a server sign-on frame with, from
  // its name on; opens a new connection to ask for it.
  std::string LoginLine() {
    control->Opened();
    sent.clear();
    Arrive(Frame(1, std::string("\0\0\0\1", 4)));
    const std::string out = TakeSent();
    const std::size_t at = out.find("toc2_login ");
    return at == std::string::npos ? "" : out.substr(at, out.find(" English", at) - at);
  }
};

}  // namespace kez::test
