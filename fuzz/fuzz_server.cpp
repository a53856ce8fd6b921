// Arbitrary bytes from three clients at once through the server's sessions:
// the opening, the frame reader, the login, the command parser and every
// command's handler, with connections ending and signing on again; what the
// server writes back must be well-formed frames. The limits are driven too:
// many commands in one read handled a turn's worth at a time, long argument
// lists, floods past the rates, refusals held back and closing with output
// still queued. A server with registered accounts is driven as well: its
// password checks wait in the worker's queue, with the penalties of wrong
// passwords, until the input lets time pass; passwords change, instant
// messages are kept for accounts that are away and handed over in batches,
// and list changes are reported row by row.
//
// Time is the input's: the service's clock moves only when the input says
// so, and the password checks run only when it says so, on this thread,
// with the queue's clock ahead of the real one by the time the input let
// pass. Hashes cost the library's least. So one input takes microseconds
// to a few milliseconds, and nothing waits in real time.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "service/directory.h"
#include "service/password_hash.h"
#include "service/password_worker.h"
#include "service/service.h"
#include "service/session.h"

#ifdef REPOSA_LIBFUZZER
// Allocation stacks only serve reports, and a smaller quarantine keeps the
// freed memory in reach of the cache: together they halve the cost of an
// input. A finding is replayed with ASAN_OPTIONS=malloc_context_size=30 for
// its stacks. The corpus replay in the ordinary builds keeps the defaults.
extern "C" const char* __asan_default_options() {
  return "malloc_context_size=0:quarantine_size_mb=16";
}
#endif

namespace {

using namespace reposa::server;

// The server's limits, with hashes at the library's least cost, the
// password checks run when the input says so, and the rates, kept-message
// bounds and batches small enough that a few commands reach them.
Limits FuzzLimits() {
  Limits limits;
  limits.hashMemory = 8 * kKiB;
  limits.hashPasses = 1;
  limits.passwordThreads = 0;
  limits.maxQueuedChecks = 6;
  limits.maxChecksPerAddress = 3;
  limits.imBurst = 2 * kKiB;
  limits.imPerSecond = kKiB;
  limits.offlineMessages = 12;
  limits.offlineBytes = 2 * kKiB;
  limits.offlinePerSender = 6;
  limits.offlineBatch = 200;
  limits.maxStoredConfig = 4 * kKiB;
  return limits;
}

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

// Stored changes, checked for order: kept messages are numbered upwards and
// handed over only once kept.
struct CheckingChanges : ChangeLog {
  std::int64_t lastKept = 0;
  void Changed(Account&, bool) override {}
  void Edited(Account&, ListEdit) override {}
  void Kept(Account&, const KeptMessage& message) override {
    if (message.id <= lastKept) __builtin_trap();
    lastKept = message.id;
  }
  void HandedOver(Account&, std::int64_t through) override {
    if (through > lastKept) __builtin_trap();
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
                                       "toc_change_passwd \"password\"",
                                       "toc2_new_buddies",
                                       "toc_chat_join \"4\"",
                                       "toc_chat_leave",
                                       "toc_send_im \"u1\"",
                                       "toc_send_im \"u2\"",
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
  std::set<SessionId> awaitingDrain;
  Session* Find(SessionId id) {
    for (std::size_t i = 0; i < ids.size(); ++i)
      if (ids[i] == id && (*slots)[i].session) return (*slots)[i].session.get();
    return nullptr;
  }
  void Deliver(SessionId to, std::string_view message) override {
    if (Session* s = Find(to)) s->SendMessage(message);
  }
  void EndSession(SessionId id, std::string_view) override {
    if (Session* s = Find(id)) s->End();
  }
  void SignOnVerdict(SessionId id, bool accepted) override {
    if (Session* s = Find(id)) s->Verdict(accepted);
  }
  void AwaitDrain(SessionId id) override { awaitingDrain.insert(id); }
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

// `count` copies of `frame` in one buffer, as one read brings them.
std::string Repeated(const std::string& frame, int count) {
  std::string bytes;
  bytes.reserve(frame.size() * static_cast<std::size_t>(count));
  for (int n = 0; n < count; ++n) bytes += frame;
  return bytes;
}

// A sign-on that reaches the commands: "password" roasted, or a wrong one.
std::string SignOn(const std::string& name, bool rightPassword) {
  std::string hello("\0\0\0\1\0\1\0", 7);
  hello.push_back(static_cast<char>(name.size()));
  hello += name;
  const char* roasted = rightPassword ? "0x2408105c23001130" : "0x2408105c23001131";
  return "FLAPON\n\n" + WireFrame(1, hello) +
         WireFrame(2, "toc2_login a 1 " + name + " " + roasted + std::string(1, '\0')) +
         WireFrame(2, std::string("toc_init_done", 14));
}

// Accounts u0 to u2 with the password "password" (u3 is none); u2's hash is
// weaker than the limits ask, so it is made again at its first sign-on.
std::vector<Account> Registered(const Limits& limits) {
  static const std::string hash = HashPassword("password", limits);
  static const std::string weaker = [&] {
    Limits old = limits;
    old.hashPasses = 2;
    return HashPassword("password", old);
  }();
  std::vector<Account> accounts(3);
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    accounts[i].name = accounts[i].display = "u" + std::to_string(i);
    accounts[i].passwordHash = i == 2 ? weaker : hash;
    accounts[i].stored = true;
  }
  return accounts;
}

// Many commands of one word in one read, or one command with a long list
// of names (repeats, commas).
std::string Batch(FuzzedDataProvider& input) {
  const std::string_view word =
      kWords[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kWords) - 1)];
  if (input.ConsumeBool()) {
    const int count = input.ConsumeIntegralInRange<int>(1, 80);
    return Repeated(
        WireFrame(2, std::string(word) + " \"" + input.ConsumeRandomLengthString(16) + "\"" + '\0'),
        count);
  }
  const int count = input.ConsumeIntegralInRange<int>(1, 400);
  const std::string name = input.ConsumeRandomLengthString(8);
  const bool commas = input.ConsumeBool();
  std::string line(word);
  line.reserve(8001);
  for (int n = 0; n < count && line.size() < 8000; ++n) {
    line += commas && n ? ',' : ' ';
    line += name;
  }
  line.resize(std::min<std::size_t>(line.size(), 8000));
  return WireFrame(2, line + '\0');
}

// Instant messages of up to 1,000 bytes, many in one read, to a name that
// may be online, away or none: past the sender's rate they get ERROR:903.
std::string ImFlood(FuzzedDataProvider& input) {
  const std::string to = "u" + std::to_string(input.ConsumeIntegralInRange<int>(0, 3));
  const int count = input.ConsumeIntegralInRange<int>(1, 12);
  std::string im = "toc_send_im " + to + " \"";
  im.append(input.ConsumeIntegralInRange<std::size_t>(1, 1000),
            static_cast<char>(input.ConsumeIntegralInRange<int>('a', 'z')));
  im += "\"";
  im += '\0';
  return Repeated(WireFrame(2, im), count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  static const Limits limits = FuzzLimits();
  const bool registered = input.ConsumeBool();
  Directory directory = registered ? Directory(limits, Registered(limits)) : Directory(limits);
  Router router;
  std::int64_t now = 1000;
  Service service(
      directory, router, [&] { return now; }, limits);
  PasswordWorker worker(limits);
  CheckingChanges changes;
  service.UseStore(&changes, &worker);
  std::array<Slot, 3> slots;
  router.slots = &slots;
  SessionId nextId = 1;
  auto open = [&](std::size_t i) {
    router.ids[i] = nextId;
    slots[i].transport.finished = false;
    slots[i].transport.sequence = 0;
    slots[i].session =
        std::make_unique<Session>(nextId++, service, slots[i].transport, Session::Log{},
                                  Source::Of(i ? "10.0.0.1" : "10.0.0.2"));
    if (input.ConsumeBool()) {
      const int name = input.ConsumeIntegralInRange<int>(0, 3);
      slots[i].session->Receive(SignOn("u" + std::to_string(name), input.ConsumeBool()));
    }
  };
  for (std::size_t i = 0; i < slots.size(); ++i) open(i);

  while (input.remaining_bytes() > 0) {
    const std::size_t i = input.ConsumeIntegralInRange<std::size_t>(0, slots.size() - 1);
    const std::size_t perTurn = input.ConsumeIntegralInRange<std::size_t>(1, 20);
    now += input.ConsumeIntegralInRange<int>(0, 120);
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
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
      case 4:
        Feed(*slots[i].session, Batch(input), perTurn);
        break;
      case 5:
        Feed(*slots[i].session, ImFlood(input), perTurn);
        break;
      case 6:  // the password checks due by now, and what they let in
        worker.RunDue(PasswordWorker::Clock::now() + std::chrono::seconds(now - 1000));
        for (Slot& slot : slots) Feed(*slot.session, {}, perTurn);
        break;
      case 7:  // the loop's timer, and clients that took what was queued
        service.Tick();
        for (SessionId id : std::exchange(router.awaitingDrain, {})) service.Drained(id);
        break;
    }
    if (slots[i].transport.finished) {
      service.Ended(router.ids[i]);
      open(i);
    }
  }
  for (std::size_t i = 0; i < slots.size(); ++i) service.Ended(router.ids[i]);
  return 0;
}
