// Arbitrary bytes from three clients at once through the server's sessions:
// the opening, the frame reader, the login, the command parser and every
// command's handler, with connections ending and signing on again; what the
// server writes back must be well-formed frames. The limits are driven too:
// many commands in one read handled a turn's worth at a time, long argument
// lists, floods past the rates, refusals held back and closing with output
// still queued.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "service/directory.h"
#include "service/service.h"
#include "service/session.h"

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
  void Hold(std::chrono::milliseconds delay) override {
    if (delay.count() <= 0) __builtin_trap();
  }
};

// Words whose handlers have limits, for the batches and long lists below.
constexpr std::string_view kWords[] = {"toc_chat_invite \"1\" \"m\"",
                                       "toc2_remove_buddy",
                                       "toc2_add_deny",
                                       "toc2_add_permit",
                                       "toc_set_idle",
                                       "toc_set_away",
                                       "toc_chat_send \"1\"",
                                       "toc_chat_accept",
                                       "toc_change_passwd \"x\"",
                                       "toc2_new_buddies",
                                       "toc_chat_join \"4\"",
                                       "toc_set_caps"};

// Hands bytes to a session a turn's worth of frames at a time, as the
// server does, and checks that the rest is handled in later turns.
void Feed(Session& session, std::string_view bytes, std::size_t perTurn) {
  session.Receive(bytes, perTurn);
  for (int turns = 0; session.more(); ++turns) {
    if (turns > 70000) __builtin_trap();
    session.Receive({}, perTurn);
  }
}

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
  const Limits limits;
  Directory directory(limits);
  Router router;
  std::int64_t now = 1000;
  Service service(
      directory, router, [&] { return now; }, limits);
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
    const std::size_t perTurn = input.ConsumeIntegralInRange<std::size_t>(1, 20);
    now += input.ConsumeIntegralInRange<int>(0, 120);
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:  // raw bytes
        Feed(*slots[i].session, input.ConsumeRandomLengthString(256), perTurn);
        break;
      case 1:  // a command line in a data frame
        Feed(*slots[i].session, WireFrame(2, input.ConsumeRandomLengthString(512) + '\0'), perTurn);
        break;
      case 2:
        slots[i].session->SendKeepAlive();
        break;
      case 3:  // the connection ends, whatever it still has queued
        slots[i].transport.finished = true;
        break;
      case 4: {  // many commands in one read
        const int count = input.ConsumeIntegralInRange<int>(1, 80);
        const std::string_view word =
            kWords[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kWords) - 1)];
        const std::string arg = input.ConsumeRandomLengthString(16);
        std::string bytes;
        for (int n = 0; n < count; ++n)
          bytes += WireFrame(2, std::string(word) + " \"" + arg + "\"" + '\0');
        Feed(*slots[i].session, bytes, perTurn);
        break;
      }
      case 5: {  // a long argument list, names repeated
        const std::string_view word =
            kWords[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kWords) - 1)];
        const int count = input.ConsumeIntegralInRange<int>(1, 400);
        const std::string name = input.ConsumeRandomLengthString(8);
        const bool commas = input.ConsumeBool();
        std::string line(word);
        for (int n = 0; n < count; ++n) line += commas ? (n ? "," : " ") + name : " " + name;
        Feed(*slots[i].session, WireFrame(2, line.substr(0, 8000) + '\0'), perTurn);
        break;
      }
    }
    if (slots[i].transport.finished) {
      service.Ended(router.ids[i]);
      open(i);
    }
  }
  return 0;
}
