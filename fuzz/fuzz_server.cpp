// Arbitrary bytes from three clients at once through the server's sessions:
// the opening, the frame reader, the login, the command parser and every
// command's handler, with connections ending and signing on again; what the
// server writes back must be well-formed frames.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <memory>
#include <string>

#include "directory.h"
#include "service.h"
#include "session.h"

namespace {

using namespace reposa::server;

// Checks what the server sends: whole frames, one per write, numbered on
// from 0, the first the server's sign-on frame, and nothing after Finish.
struct CheckingTransport : Transport {
  bool finished = false;
  int sequence = 0;
  void Write(std::string_view bytes) override {
    if (finished) __builtin_trap();
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() < 6 || bytes[0] != '*' || byte(1) < 1 || byte(1) > 5) __builtin_trap();
    if (byte(2) * 256 + byte(3) != sequence % 65536) __builtin_trap();
    if (byte(4) * 256u + byte(5) != bytes.size() - 6) __builtin_trap();
    if (sequence == 0 && bytes.substr(1) != std::string_view("\1\0\0\0\4\0\0\0\1", 9))
      __builtin_trap();
    ++sequence;
  }
  void Finish() override { finished = true; }
};

struct Slot {
  CheckingTransport transport;
  std::unique_ptr<Session> session;
};

struct Router : Outbox {
  std::array<Slot, 3>* slots = nullptr;
  std::array<SessionId, 3> ids{};
  void Deliver(SessionId to, std::string_view message) override {
    for (std::size_t i = 0; i < ids.size(); ++i)
      if (ids[i] == to && (*slots)[i].session) (*slots)[i].session->SendMessage(message);
  }
  void EndSession(SessionId id, std::string_view) override {
    for (std::size_t i = 0; i < ids.size(); ++i)
      if (ids[i] == id && (*slots)[i].session) (*slots)[i].session->End();
  }
};

std::string WireFrame(int type, std::string_view payload) {
  std::string f{'*',
                static_cast<char>(type),
                0,
                0,
                static_cast<char>(payload.size() >> 8),
                static_cast<char>(payload.size() & 0xff)};
  return f.append(payload);
}

// A valid sign-on, so most of the input reaches the commands.
std::string SignOn(const std::string& name) {
  std::string hello("\0\0\0\1\0\1\0", 7);
  hello.push_back(static_cast<char>(name.size()));
  hello += name;
  return "FLAPON\n\n" + WireFrame(1, hello) +
         WireFrame(2, "toc2_login a 1 " + name + " 0x2408105c23001130" + std::string(1, '\0')) +
         WireFrame(2, std::string("toc_init_done", 14));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Directory directory;
  Router router;
  std::int64_t now = 1000;
  Service service(directory, router, [&] { return now; });
  std::array<Slot, 3> slots;
  router.slots = &slots;
  SessionId nextId = 1;
  auto open = [&](std::size_t i) {
    router.ids[i] = nextId;
    slots[i].transport.finished = false;
    slots[i].transport.sequence = 0;
    slots[i].session = std::make_unique<Session>(nextId++, service, slots[i].transport);
    if (input.ConsumeBool()) slots[i].session->Receive(SignOn("u" + std::to_string(i % 2)));
  };
  for (std::size_t i = 0; i < slots.size(); ++i) open(i);

  while (input.remaining_bytes() > 0) {
    const std::size_t i = input.ConsumeIntegralInRange<std::size_t>(0, slots.size() - 1);
    now += input.ConsumeIntegralInRange<int>(0, 120);
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:  // raw bytes
        slots[i].session->Receive(input.ConsumeRandomLengthString(256));
        break;
      case 1:  // a command line in a data frame
        slots[i].session->Receive(WireFrame(2, input.ConsumeRandomLengthString(512) + '\0'));
        break;
      case 2:
        slots[i].session->SendKeepAlive();
        break;
      case 3:  // the connection ends
        slots[i].transport.finished = true;
        break;
    }
    if (slots[i].transport.finished) {
      service.Ended(router.ids[i]);
      open(i);
    }
  }
  return 0;
}
