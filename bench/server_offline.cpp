// reposa-server keeping instant messages for registered accounts that are
// not signed on: 10,000 of them sent to 100 such accounts while the server
// is killed (kill -9) half-way and started again, then counted at the
// accounts' next sign-ons (each run); and the sign-on of an account with a
// full box of 500 against one with none. The senders know an IM is stored
// once a later command of theirs is answered, and send again what was not
// answered when the server died, as a client would: an IM stored just before
// the kill then arrives twice, counted apart as "resent twice".
//
//   bench_offline [--recipients 100] [--ims 10000] [--senders 10] [--box 500]
//                 [--runs 5] [--json FILE]

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Figures.h"
#include "FlapPeer.h"
#include "ServerProcess.h"
#include "TempDir.h"
#include "service/password_hash.h"
#include "store/sqlite_account_store.h"

namespace kez::bench {
namespace {

using reposa::server::Limits;
using reposa::server::SqliteAccountStore;
using OnFrame = std::function<void(std::size_t, const PeerFrame&)>;

// Peers on one poll() loop, each with a name and a clock of its own.
struct Crowd {
  struct Member {
    std::string name;
    std::unique_ptr<FlapPeer> peer;
    Clock::time_point opened, configured;
    bool online = false;
  };
  std::vector<Member> members;

  // Connects and starts the sign-on of `name`; toc_init_done (and `after`,
  // if any) go once its configuration is in.
  // Each member comes from an address of its own, at most 16 to a /24, as
  // many users would: the server bounds checks per address and network.
  std::size_t Open(std::uint16_t port, std::string name) {
    const std::size_t i = members.size();
    const std::string from =
        "127." + std::to_string(1 + i / 16) + ".0." + std::to_string(1 + i % 16);
    members.push_back(
        {std::move(name), std::make_unique<FlapPeer>(port, from.c_str()), Clock::now(), {}});
    members.back().peer->SendOpening();
    return members.size() - 1;
  }
  // Frames to `handle` until `done` or the bound; the sign-on steps are
  // taken here first.
  bool Pump(const std::function<bool()>& done, const OnFrame& handle,
            std::chrono::milliseconds bound = 60s) {
    const auto deadline = Clock::now() + bound;
    while (!done()) {
      if (Clock::now() > deadline) return false;
      std::vector<pollfd> fds;
      for (const Member& m : members)
        fds.push_back(
            {m.peer->fd(), static_cast<short>(POLLIN | (m.peer->wantsWrite() ? POLLOUT : 0)), 0});
      ::poll(fds.data(), fds.size(), 50);
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (fds[i].revents & POLLOUT) members[i].peer->Flush();
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        members[i].peer->Receive();
        while (auto f = members[i].peer->Next()) Step(i, *f, handle);
      }
    }
    return true;
  }
  bool AllOnline() const {
    return std::all_of(members.begin(), members.end(), [](const Member& m) { return m.online; });
  }

 private:
  void Step(std::size_t i, const PeerFrame& f, const OnFrame& handle) {
    Member& m = members[i];
    if (f.type == 1) return m.peer->SendSignOn(m.name, "pw");
    if (!m.online && f.payload.starts_with("CONFIG2:") &&
        f.payload.find("done:") != std::string::npos) {
      m.configured = Clock::now();
      m.online = true;
      m.peer->SendLine("toc_init_done");
    }
    handle(i, f);
  }
};

std::uint16_t Start(ChildProcess& server) {
  if (server.WaitErr(" (loopback only)") == std::string::npos)
    throw std::runtime_error("server did not start: " + server.err());
  return reposa::test::ListeningPort(server.err());
}

// The driver's clients sign on at once, each from an address of its own
// (Crowd::Open); the per-address caps stay lifted.
ChildProcess Server(const std::string& path, const std::string& db) {
  return ChildProcess({path, "--db", db, "--listen", "127.0.0.1:0", "--keepalive", "0",
                       "--max-per-address", "1000", "--max-signing-on-per-address", "256",
                       // The senders pour IMs as fast as they are answered.
                       "--im-rate", "1073741824", "--im-network-rate", "1073741824"});
}

// The text of an IM_IN_ENC2 message: everything after its ninth colon.
std::string ImText(const std::string& payload) {
  std::size_t at = 0;
  for (int i = 0; i < 9 && at != std::string::npos; ++i) at = payload.find(':', at + 1);
  return at == std::string::npos ? std::string() : payload.substr(at + 1);
}

// The text of sender s's IM number k: unique, and in order per sender.
std::string ImBody(std::size_t s, std::size_t k) {
  return "s" + std::to_string(s) + ":" + std::to_string(k) + " " + std::string(40, 'x');
}

// Whom IM number k goes to.
using Addressee = std::function<std::string(std::size_t)>;

// What one sender has sent. Every 50 IMs a message to a name that is not an
// account: its refusal comes after what was sent before it is stored.
struct Sender {
  std::size_t total = 0, next = 0, acknowledged = 0;
  std::deque<std::size_t> probes;  // the IMs sent before each unanswered one

  void Feed(FlapPeer& peer, std::size_t index, const Addressee& to) {
    while (next < total && next - acknowledged < 200) {
      const std::size_t end = std::min(total, next + 50);
      for (; next < end; ++next)
        peer.SendLine("toc_send_im " + to(next) + " \"" + ImBody(index, next) + "\"");
      peer.SendLine("toc_send_im nobody \"probe\"");
      probes.push_back(next);
    }
  }
  void Answered() {
    acknowledged = probes.front();
    probes.pop_front();
  }
};

// Senders signed on at `port` send until `stop` says so or all is answered;
// what was not answered before goes again.
void Send(std::uint16_t port, std::vector<Sender>& senders, const Addressee& to,
          const std::function<bool()>& stop) {
  Crowd crowd;
  for (std::size_t s = 0; s < senders.size(); ++s) {
    senders[s].next = senders[s].acknowledged;
    senders[s].probes.clear();
    crowd.Open(port, "s" + std::to_string(s));
  }
  auto finished = [&] {
    return std::all_of(senders.begin(), senders.end(),
                       [](const Sender& s) { return s.acknowledged == s.total; });
  };
  bool fed = false;
  const bool done = crowd.Pump([&] { return stop() || finished(); },
                               [&](std::size_t i, const PeerFrame& f) {
                                 if (!fed && crowd.AllOnline()) {
                                   fed = true;
                                   for (std::size_t s = 0; s < senders.size(); ++s)
                                     senders[s].Feed(*crowd.members[s].peer, s, to);
                                 }
                                 if (f.payload == "ERROR:901:nobody") {
                                   senders[i].Answered();
                                   senders[i].Feed(*crowd.members[i].peer, i, to);
                                 } else if (f.payload.starts_with("ERROR:")) {
                                   throw std::runtime_error("refused: " + f.payload);
                                 }
                               },
                               120s);
  if (!done) throw std::runtime_error("the senders' IMs were not all answered");
}

struct KillResult {
  double lost = 0, repeated = 0, resentTwice = 0, acknowledgedAtKill = 0;
};

KillResult RunKill(const std::string& path, const std::string& db, std::size_t recipients,
                   std::size_t ims, std::size_t senderCount) {
  std::vector<Sender> senders(senderCount);
  for (Sender& s : senders) s.total = ims / senderCount;
  std::vector<std::size_t> atKill(senderCount);
  const Addressee toRecipient = [recipients](std::size_t k) {
    return "r" + std::to_string(k % recipients);
  };
  {
    ChildProcess server = Server(path, db);
    const std::uint16_t port = Start(server);
    const std::size_t half = ims / 2;
    Send(port, senders, toRecipient, [&] {
      std::size_t acknowledged = 0;
      for (const Sender& s : senders) acknowledged += s.acknowledged;
      if (acknowledged < half) return false;
      server.Signal(SIGKILL);
      return true;
    });
    server.Wait();
    for (std::size_t s = 0; s < senderCount; ++s) atKill[s] = senders[s].acknowledged;
  }
  ChildProcess server = Server(path, db);
  const std::uint16_t port = Start(server);
  Send(port, senders, toRecipient, [] { return false; });
  // Each recipient signs on and counts what it gets.
  Crowd crowd;
  for (std::size_t r = 0; r < recipients; ++r) crowd.Open(port, "r" + std::to_string(r));
  std::map<std::string, int> received;
  std::size_t count = 0;
  const auto handle = [&](std::size_t, const PeerFrame& f) {
    if (f.payload.starts_with("IM_IN_ENC2:")) ++received[ImText(f.payload)], ++count;
  };
  crowd.Pump([&] { return received.size() >= ims; }, handle, 60s);
  crowd.Pump([] { return false; }, handle, 300ms);  // anything more, twice?
  if (!crowd.AllOnline()) throw std::runtime_error("not every recipient signed on");
  server.Stop();
  KillResult result;
  for (std::size_t s = 0; s < senderCount; ++s) {
    result.acknowledgedAtKill += static_cast<double>(atKill[s]);
    for (std::size_t k = 0; k < senders[s].total; ++k) {
      const auto it = received.find(ImBody(s, k));
      if (it == received.end()) {
        ++result.lost;
      } else if (it->second > 1) {
        (k < atKill[s] ? result.repeated : result.resentTwice) += it->second - 1;
      }
    }
  }
  std::printf("(%zu IMs received, %zu distinct)\n", count, received.size());
  return result;
}

struct SignOnTimes {
  double signOnMs = 0, deliverMs = 0;
};

// `name` signs on; its sign-on ends when it has its configuration, every
// kept message (`expected` of them, in order per sender) and the answer to a
// first command.
SignOnTimes TimeSignOn(std::uint16_t port, const std::string& name, std::size_t expected) {
  Crowd crowd;
  crowd.Open(port, name);
  std::size_t ims = 0;
  bool answered = false;
  Clock::time_point lastIm, done;
  std::map<std::string, std::size_t> lastFrom;
  crowd.Pump(
      [&] { return answered && ims == expected; },
      [&](std::size_t, const PeerFrame& f) {
        if (f.payload.starts_with("CONFIG2:") && f.payload.find("done:") != std::string::npos)
          crowd.members[0].peer->SendLine("toc_get_status " + name);
        if (f.payload.starts_with("UPDATE_BUDDY2:")) answered = true;
        if (f.payload.starts_with("IM_IN_ENC2:")) {
          ++ims;
          lastIm = Clock::now();
          const std::string text = ImText(f.payload);
          const std::string from = text.substr(0, text.find(':'));
          const std::size_t k = std::stoul(text.substr(from.size() + 1));
          if (lastFrom.count(from) && lastFrom[from] >= k)
            throw std::runtime_error("kept messages out of order");
          lastFrom[from] = k;
        }
        done = Clock::now();
      },
      30s);
  if (!answered || ims != expected) throw std::runtime_error("sign-on of " + name + " incomplete");
  const Crowd::Member& m = crowd.members[0];
  auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
  return {ms(done - m.opened), expected ? ms(lastIm - m.configured) : 0.0};
}

struct BoxTimes {
  std::vector<double> none, full, deliver;
};

// Each run fills the box of "big" (the senders' share each, all of it
// stored), then times the sign-on of "none", with an empty box, and of "big".
BoxTimes TimeBoxes(const std::string& path, const std::string& db, std::size_t senderCount,
                   std::size_t box, int runs) {
  BoxTimes times;
  ChildProcess server = Server(path, db);
  const std::uint16_t port = Start(server);
  for (int run = 0; run < runs; ++run) {
    std::vector<Sender> senders(senderCount);
    for (Sender& s : senders) s.total = box / senderCount;
    Send(
        port, senders, [](std::size_t) { return std::string("big"); }, [] { return false; });
    times.none.push_back(TimeSignOn(port, "none", 0).signOnMs);
    const SignOnTimes t = TimeSignOn(port, "big", box - box % senderCount);
    times.full.push_back(t.signOnMs);
    times.deliver.push_back(t.deliverMs);
  }
  server.Stop();
  return times;
}

void MakeAccounts(const std::string& db, std::size_t recipients, std::size_t senders) {
  SqliteAccountStore store(db, Limits{});
  const std::string hash = reposa::server::HashPassword("pw", Limits{});
  std::vector<std::string> names = {"big", "none"};
  for (std::size_t i = 0; i < recipients; ++i) names.push_back("r" + std::to_string(i));
  for (std::size_t i = 0; i < senders; ++i) names.push_back("s" + std::to_string(i));
  if (!store.Write([&] {
        for (const std::string& n : names) store.Put({n, n, hash, ""});
      }))
    throw std::runtime_error(store.lastError());
}

}  // namespace
}  // namespace kez::bench

int main(int argc, char** argv) {
  using namespace kez::bench;
  try {
    Args args(argc, argv);
    const std::string path = args.Text("--server", REPOSA_SERVER_PATH);
    const auto recipients = static_cast<std::size_t>(args.Number("--recipients", 100));
    const auto ims = static_cast<std::size_t>(args.Number("--ims", 10000));
    const auto senderCount = static_cast<std::size_t>(args.Number("--senders", 10));
    const auto box = static_cast<std::size_t>(args.Number("--box", 500));
    const int runs = static_cast<int>(args.Number("--runs", 5));
    const std::string json = args.Text("--json", "");
    args.Check();
    if (box > senderCount * 100 || ims % (senderCount * recipients) != 0)
      throw std::invalid_argument("--box at most 100 per sender; --ims a multiple of both");
    const reposa::test::TempDir temp;
    const std::string db = temp.path + "/offline.db";
    MakeAccounts(db, recipients, senderCount);

    std::vector<double> lost, twice, resent, atKill;
    for (int run = 0; run < runs; ++run) {
      const KillResult kill = RunKill(path, db, recipients, ims, senderCount);
      lost.push_back(kill.lost);
      twice.push_back(kill.repeated);
      resent.push_back(kill.resentTwice);
      atKill.push_back(kill.acknowledgedAtKill);
    }
    const BoxTimes times = TimeBoxes(path, db, senderCount, box, runs);
    const std::string n = std::to_string(ims), b = std::to_string(box);
    Figures figures("bench_offline");
    figures.Add("offline.kill9_" + n + "_lost", "IMs", lost);
    figures.Add("offline.kill9_" + n + "_acknowledged_twice", "IMs", twice);
    figures.Add("offline.kill9_" + n + "_resent_twice", "IMs", resent);
    figures.Add("offline.kill9_" + n + "_acknowledged_at_kill", "IMs", atKill);
    figures.Add("offline.deliver_" + b, "ms", times.deliver);
    figures.Add("offline.sign_on_none", "ms", times.none);
    figures.Add("offline.sign_on_" + b, "ms", times.full);
    figures.Add("offline.sign_on_ratio_" + b, "x", Median(times.full) / Median(times.none));
    figures.Write(json);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_offline: %s\n", e.what());
    return 1;
  }
  return 0;
}
