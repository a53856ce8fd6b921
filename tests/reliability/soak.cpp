// reposa_soak: two consoles against the server for a while, the server
// sending keep-alives every second, both consoles exchanging instant
// messages and talking in one room. Fails when a message is lost or comes out
// of order, when keep-alives stop, when a program ends badly, or when a
// program's resident memory grows after the warm-up.
//
//   reposa_soak [SECONDS]     (default 60)

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleProcess.h"
#include "PrivateFile.h"
#include "ServerProcess.h"

namespace {

using namespace reposa::test;
using Clock = std::chrono::steady_clock;

constexpr int kWindow = 20;  // messages in flight per stream
constexpr auto kSendInterval = std::chrono::milliseconds(20);
constexpr double kAllowedGrowth = 0.05;  // of resident memory, after the warm-up

// One stream of numbered messages from one console, and what each receiver
// has seen of it.
struct Stream {
  std::string prefix;  // "im a", "chat b", ...
  int sent = 0;
  std::map<std::string, int> received;  // receiver -> messages seen, in order
  int lost = 0;
  int Lowest() const {
    int low = sent;
    for (const auto& [who, n] : received) low = std::min(low, n);
    return low;
  }
};

struct Peer {
  std::string name;  // "a" or "b"
  std::string screenName;
  std::unique_ptr<ConsoleProcess> console;
  int keepAlives = 0;
};

struct Memory {
  const char* what;
  ChildProcess* process;
  std::size_t warm = 0, peak = 0, last = 0;
};

// A printed event of `console` is matched to its stream by the message text:
// "<stream prefix> <number>".
void Take(Peer& at, const json& line, std::vector<Stream>& streams, bool& failed) {
  const std::string event = line.value("event", "");
  if (event == "IncomingPacket") {
    const std::string packet = line["args"][0].get<std::string>();
    if (packet.size() >= 2 && packet[0] == '*' && packet[1] == 5) ++at.keepAlives;
    return;
  }
  std::string text;
  if (event == "InstantMessage") text = line["args"][1].get<std::string>();
  if (event == "ChatMessage") text = line["args"][2].get<std::string>();
  if (event == "Error" || event == "WinsockError" || event == "ConnectionClosed" ||
      line.contains("error")) {
    std::fprintf(stderr, "soak: console %s: %s\n", at.name.c_str(), line.dump().c_str());
    failed = true;
  }
  if (text.empty()) return;
  for (Stream& s : streams) {
    if (!text.starts_with(s.prefix + " ")) continue;
    const int number = std::atoi(text.c_str() + s.prefix.size() + 1);
    int& seen = s.received[at.name];
    if (number != seen) {
      std::fprintf(stderr, "soak: %s got \"%s\", expected number %d\n", at.name.c_str(),
                   text.c_str(), seen);
      s.lost += std::abs(number - seen);
      failed = true;
    }
    seen = number + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  if (seconds < 5) {
    std::fprintf(stderr, "usage: reposa_soak [SECONDS, at least 5]\n");
    return 2;
  }
  const auto warmUp = std::chrono::seconds(std::max(5, seconds / 5));
  bool failed = false;

  ServerProcess server({"--keepalive", "1"});
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  PrivateFile password("soak-password\n");
  std::array<Peer, 2> peers = {Peer{"a", "Soak A", nullptr}, Peer{"b", "Soak B", nullptr}};
  for (Peer& p : peers) {
    p.console = std::make_unique<ConsoleProcess>(std::vector<std::string>{
        "--server", address, "--screen-name", p.screenName, "--password-file", password.path,
        "--packets", "--join", "Soak Room"});
  }
  for (Peer& p : peers) {
    if (!p.console->AwaitEvent("JoinedChat", std::chrono::seconds(10))) {
      std::fprintf(stderr, "soak: console %s did not join: %s\n", p.name.c_str(),
                   p.console->err().c_str());
      return 1;
    }
  }

  // IMs go to the other console only; chat lines reach both.
  std::vector<Stream> streams(4);
  streams[0].prefix = "im a";
  streams[0].received = {{"b", 0}};
  streams[1].prefix = "im b";
  streams[1].received = {{"a", 0}};
  streams[2].prefix = "chat a";
  streams[3].prefix = "chat b";
  for (int i = 2; i < 4; ++i) streams[i].received = {{"a", 0}, {"b", 0}};

  std::vector<Memory> memory = {{"server", &server},
                                {"console a", peers[0].console.get()},
                                {"console b", peers[1].console.get()}};
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  auto nextSend = start, nextSample = start + std::chrono::seconds(1);
  bool warmed = false;
  while (Clock::now() < end || std::any_of(streams.begin(), streams.end(),
                                           [](const Stream& s) { return s.Lowest() < s.sent; })) {
    const auto now = Clock::now();
    if (now > end + std::chrono::seconds(10)) {
      std::fprintf(stderr, "soak: messages still missing 10 s after the end\n");
      failed = true;
      break;
    }
    if (now < end && now >= nextSend) {
      nextSend += kSendInterval;
      for (std::size_t i = 0; i < streams.size(); ++i) {
        Stream& s = streams[i];
        if (s.sent - s.Lowest() >= kWindow) continue;
        Peer& from = peers[i % 2];
        const std::string text = s.prefix + " " + std::to_string(s.sent++);
        if (i < 2) {
          from.console->Call("SendIM", {peers[1 - i % 2].screenName, text, false});
        } else {
          from.console->Call("SendChat", {"Soak Room", text});
        }
      }
    }
    bool idle = true;
    for (Peer& p : peers) {
      p.console->Drain();
      while (auto line = p.console->NextLine(std::chrono::milliseconds(0))) {
        idle = false;
        Take(p, json::parse(*line), streams, failed);
      }
    }
    if (now >= nextSample) {
      nextSample += std::chrono::seconds(1);
      server.Drain();
      const bool warmNow = now - start >= warmUp;
      for (Memory& m : memory) {
        m.last = m.process->ResidentKiB();
        if (warmNow && !warmed) m.warm = m.last;
        m.peak = std::max(m.peak, warmNow ? m.last : 0);
      }
      warmed = warmNow;
    }
    if (idle) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (Memory& m : memory) m.last = m.process->ResidentKiB();

  for (Peer& p : peers) p.console->Signal(SIGTERM);
  server.Signal(SIGTERM);
  for (Memory& m : memory) {
    const auto status = m.process->Wait(std::chrono::seconds(10));
    if (status != 0) {
      std::fprintf(stderr, "soak: %s ended with %d\n", m.what, status ? *status : -1);
      failed = true;
    }
  }

  int sent = 0, lost = 0;
  for (const Stream& s : streams) {
    sent += s.sent;
    lost += s.lost;
    std::printf("soak: %-7s %6d sent, received", s.prefix.c_str(), s.sent);
    for (const auto& [who, n] : s.received) std::printf(" %s %d", who.c_str(), n);
    std::printf("\n");
  }
  for (const Peer& p : peers) {
    std::printf("soak: console %s received %d keep-alives\n", p.name.c_str(), p.keepAlives);
    if (p.keepAlives < seconds - 3) {
      std::fprintf(stderr, "soak: console %s saw only %d keep-alives in %d s\n", p.name.c_str(),
                   p.keepAlives, seconds);
      failed = true;
    }
  }
  for (const Memory& m : memory) {
    const double growth =
        m.warm ? (static_cast<double>(m.last) - static_cast<double>(m.warm)) / m.warm : 0;
    std::printf(
        "soak: %-9s resident %zu KiB after warm-up, %zu KiB peak, %zu KiB at the end (%+.1f%%)\n",
        m.what, m.warm, m.peak, m.last, 100 * growth);
    if (!m.warm || growth > kAllowedGrowth) {
      std::fprintf(stderr, "soak: %s resident memory grew by %.1f%%\n", m.what, 100 * growth);
      failed = true;
    }
  }
  std::printf("soak: %d s, %d messages sent, %d lost: %s\n", seconds, sent, lost,
              failed ? "FAILED" : "passed");
  return failed ? 1 : 0;
}
