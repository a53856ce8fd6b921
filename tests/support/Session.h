#pragma once

#include <memory>

#include "FakeSocket.h"
#include "RecordingListener.h"
#include "Wire.h"
#include "kez/KezTOCSock.h"

namespace kez::test {

// The standard fixture: a control on a fake socket with a recording listener.
struct Session {
  RecordingListener events;
  FakeSocket* sock;  // owned by the control
  std::unique_ptr<KezTOCSock> control;

  Session() {
    auto fake = std::make_unique<FakeSocket>();
    sock = fake.get();
    control = std::make_unique<KezTOCSock>(std::move(fake), &events);
  }

  // Login and connect, with the opening string and calls cleared away.
  void Connect(std::string_view name = "Some Body", std::string_view password = "password") {
    control->Login(name, password, "toc.example", 5190);
    sock->Connected();
    sock->TakeSent();
    sock->calls.clear();
  }
  // Connect, then answer the server's sign-on frame (sequence numbers 0 and
  // 1), so commands go out.
  void SignOn() {
    Connect();
    sock->Arrive(Frame(1, std::string("\0\0\0\1", 4)));
    sock->TakeSent();
  }
};

}  // namespace kez::test
