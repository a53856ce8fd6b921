#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "RecordingListener.h"
#include "Wire.h"
#include "kez/SessionCore.h"

namespace kez {
// How GoogleTest shows a state in a failure.
inline void PrintTo(SessionState state, std::ostream* out) {
  static const char* const names[] = {"Closed", "Connecting", "SigningOn", "SignedOn"};
  *out << names[static_cast<int>(state)];
}
}  // namespace kez

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
  // Connect, then answer the server's sign-on frame, so commands go out
  // (State() SigningOn); that answer spends sequence numbers 0 and 1.
  void SignOn() {
    Connect();
    Arrive(Frame(1, std::string("\0\0\0\1", 4)));
    sent.clear();
  }
  void Arrive(std::string_view bytes) { control->Receive(bytes); }
  // The same bytes, appended by the reader into the core's own buffer.
  void ArriveLent(std::string_view bytes) {
    control->Receive([bytes](std::string& buffer) { buffer.append(bytes); });
  }
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

// Feeds `bytes` to a fresh connected core whole, cut in two at every byte
// offset, and one byte at a time, then lets `check` look at each core: the
// outcome must never depend on how the stream was cut into arrivals, nor on
// which form of Receive delivered them (they alternate, the second piece of a
// cut is appended into the buffer holding the first).
template <class Check>
void EverySplit(std::string_view bytes, const Check& check) {
  const auto once = [&](const std::string& how, const std::vector<std::string_view>& arrivals) {
    SCOPED_TRACE(how);
    Core s;
    s.Connect();
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
      if (i % 2) {
        s.ArriveLent(arrivals[i]);
      } else {
        s.Arrive(arrivals[i]);
      }
    }
    check(s);
  };
  once("whole", {bytes});
  for (std::size_t cut = 1; cut < bytes.size(); ++cut)
    once("cut at " + std::to_string(cut), {bytes.substr(0, cut), bytes.substr(cut)});
  std::vector<std::string_view> bytewise;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytewise.push_back(bytes.substr(i, 1));
  once("byte by byte", bytewise);
}

}  // namespace kez::test
