// reposa-server on its database: a burst of stored list changes from one
// client (how long until all are acknowledged, and the longest wait another
// pair of users sees meanwhile), sign-ons to registered accounts while a
// guesser tries wrong passwords, the start with a large database, an
// online backup of it while two users talk, and accounts added to the
// running server through its control socket. Each of the first three is
// measured in turns with its reference: as many commands that store
// nothing, one core's password checks, a start on an empty database.
//
//   bench_store [--changes 10000] [--accounts 1000] [--big-accounts 10000]
//               [--buddies 200] [--live-adds 20] [--runs 3] [--json FILE]

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
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

using reposa::server::SqliteAccountStore;
using reposa::server::StoredAccount;
using Handler = std::function<void(std::size_t, const PeerFrame&)>;

// Polls `peers` until `done` or the bound, handing each frame to `handle`.
bool Pump(const std::vector<FlapPeer*>& peers, const std::function<bool()>& done,
          const Handler& handle, std::chrono::milliseconds bound = 60s) {
  const auto deadline = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::vector<pollfd> fds;
    for (FlapPeer* p : peers)
      fds.push_back({p->fd(), static_cast<short>(POLLIN | (p->wantsWrite() ? POLLOUT : 0)), 0});
    ::poll(fds.data(), fds.size(), 100);
    for (std::size_t i = 0; i < peers.size(); ++i) {
      if (fds[i].revents & POLLOUT) peers[i]->Flush();
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      peers[i]->Receive();
      while (auto f = peers[i]->Next()) handle(i, *f);
    }
  }
  return true;
}

// Opening to toc_init_done for one peer.
void SignOn(FlapPeer& peer, const std::string& name, const std::string& password) {
  peer.SendOpening();
  bool on = false;
  if (!Pump(
          {&peer}, [&] { return on; },
          [&](std::size_t, const PeerFrame& f) {
            if (f.type == 1) peer.SendSignOn(name, password);
            if (f.type == 2 && f.payload.starts_with("CONFIG2:") &&
                f.payload.find("done:") != std::string_view::npos)
              on = true;
          }))
    throw std::runtime_error("sign-on of " + name + " failed");
  peer.SendLine("toc_init_done");
}

// Where the server listens, once it says so.
std::uint16_t Port(ChildProcess& server) {
  if (server.WaitErr(" (loopback only)") == std::string::npos)
    throw std::runtime_error("server did not start: " + server.err());
  return reposa::test::ListeningPort(server.err());
}

struct Burst {
  double seconds = 0;
  double longestWaitMs = 0;
};

// `changes` buddies added and removed again by one client; meanwhile one
// user sends another instant messages, one at a time, and times each. With
// `store` false the client asks for its own status twice instead, as many
// commands and answers that store nothing: the reference for the burst.
Burst RunBurst(const std::string& serverPath, const std::string& db, int changes, bool store) {
  std::filesystem::remove(db);
  // The burst is what the store takes, not what a user may send: the
  // list-change rate is lifted.
  ChildProcess server({serverPath, "--db", db, "--listen", "127.0.0.1:0", "--keepalive", "0",
                       "--list-rate", "1000000"});
  const std::uint16_t port = Port(server);
  FlapPeer burster(port), from(port), to(port);
  SignOn(burster, "burster", "x");
  SignOn(from, "pinger", "x");
  SignOn(to, "ponger", "x");
  Pump(
      {&to}, [] { return false; }, [](std::size_t, const PeerFrame&) {}, 200ms);  // settle
  int sent = 0, answered = 0;
  Burst result;
  Clock::time_point pingSent;
  auto ping = [&] {
    pingSent = Clock::now();
    from.SendLine("toc_send_im ponger \"ping\"");
  };
  const auto start = Clock::now();
  ping();
  auto feed = [&] {  // keeps a few hundred commands in flight
    while (sent < changes && 2 * sent - answered < 400) {
      const std::string b = "b" + std::to_string(sent++);
      burster.SendLine(store ? "toc2_new_buddies \"g:Burst\nb:" + b + "\n\""
                             : "toc_get_status burster");
      burster.SendLine(store ? "toc2_remove_buddy \"" + b + "\" \"Burst\""
                             : "toc_get_status burster");
    }
  };
  feed();
  const bool finished = Pump(
      {&burster, &from, &to}, [&] { return answered == 2 * changes; },
      [&](std::size_t i, const PeerFrame& f) {
        if (i == 0 &&
            (store ? f.payload.starts_with("INSERTED2:b:") || f.payload.starts_with("DELETED2:b:")
                   : f.payload.starts_with("UPDATE_BUDDY2:burster:")))
          ++answered, feed();
        if (i == 2 && f.payload.starts_with("IM_IN")) {
          const double ms =
              std::chrono::duration<double, std::milli>(Clock::now() - pingSent).count();
          result.longestWaitMs = std::max(result.longestWaitMs, ms);
          ping();
        }
      },
      120s);
  if (!finished) throw std::runtime_error("burst not acknowledged");
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  server.Stop();
  return result;
}

// Sign-ons per second of `accounts` registered users, `parallel` at a time
// from addresses of their own, while guessers in another network try wrong
// passwords for "victim" until the server tells them it is too soon.
double RunSignOns(const std::string& serverPath, const std::string& db, int accounts) {
  ChildProcess server({serverPath, "--db", db, "--listen", "127.0.0.1:0", "--keepalive", "0"});
  const std::uint16_t port = Port(server);
  constexpr int kParallel = 16, kGuessers = 4;
  std::vector<std::unique_ptr<FlapPeer>> slots(kParallel + kGuessers);
  std::vector<int> user(kParallel, -1);
  int next = 0, done = 0, guesses = 0, checked = 0;
  auto open = [&](std::size_t i) {
    const std::string from = i < kParallel ? "127.0.0." + std::to_string(10 + i) : "127.0.1.1";
    slots[i] = std::make_unique<FlapPeer>(port, from.c_str());
    slots[i]->SendOpening();
  };
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (i < kParallel) user[i] = next++;
    open(i);
  }
  const auto start = Clock::now();
  while (done < accounts) {
    std::vector<FlapPeer*> peers;
    for (auto& s : slots) peers.push_back(s.get());
    std::vector<std::size_t> finished, tooSoon;
    // A connection the server closed without an answer would wait forever.
    auto closedUnanswered = [&] {
      for (std::size_t i = 0; i < peers.size(); ++i)
        if (peers[i]->closed() && std::find(finished.begin(), finished.end(), i) == finished.end())
          return true;
      return false;
    };
    Pump(
        peers, [&] { return !finished.empty() || closedUnanswered(); },
        [&](std::size_t i, const PeerFrame& f) {
          const bool guesser = i >= kParallel;
          if (f.type == 1)
            slots[i]->SendSignOn(guesser ? "victim" : "user" + std::to_string(user[i]),
                                 guesser ? "wrong" + std::to_string(guesses++) : "pw");
          if (f.type == 2 && !guesser && f.payload.starts_with("ERROR"))
            throw std::runtime_error("a registered user refused: " + f.payload);
          if (f.type == 2 && guesser && f.payload == "ERROR:983") tooSoon.push_back(i);
          if (f.type == 2 && (f.payload.starts_with("SIGN_ON") || f.payload.starts_with("ERROR")))
            finished.push_back(i);
        },
        60s);
    const bool lost = closedUnanswered();
    for (std::size_t i : finished) {
      if (i < kParallel) {
        ++done;
        if (next >= accounts) continue;
        user[i] = next++;
      } else {
        checked += std::find(tooSoon.begin(), tooSoon.end(), i) == tooSoon.end();
      }
      if (std::find(tooSoon.begin(), tooSoon.end(), i) == tooSoon.end()) open(i);
    }
    std::sort(tooSoon.rbegin(), tooSoon.rend());
    for (std::size_t i : tooSoon) slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(i));
    if (finished.empty() || lost) {
      const std::string& log = server.err();
      throw std::runtime_error(
          std::string(finished.empty() ? "sign-ons stalled" : "a connection closed unanswered") +
          "; the server's log ends:\n" + log.substr(log.size() > 1500 ? log.size() - 1500 : 0));
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("(%d wrong guesses meanwhile, %d of them checked)\n", guesses, checked);
  server.Stop();
  return accounts / seconds;
}

// The reference for sign-ons: password checks a second on one core of this
// machine, as the server's workers make them.
double PasswordChecksPerSecond() {
  const std::string hash = reposa::server::HashPassword("pw", reposa::server::Limits{});
  constexpr int kChecks = 20;
  const auto t0 = Clock::now();
  for (int i = 0; i < kChecks; ++i)
    if (!reposa::server::VerifyPassword(hash, "pw")) throw std::runtime_error("check failed");
  return kChecks / std::chrono::duration<double>(Clock::now() - t0).count();
}

double RunStart(const std::string& serverPath, const std::string& db) {
  ChildProcess server({serverPath, "--db", db, "--listen", "127.0.0.1:0"});
  Port(server);
  const double ms =
      std::chrono::duration<double, std::milli>(Clock::now() - server.started()).count();
  server.Stop();
  return ms;
}

struct Backup {
  double seconds = 0;
  double longestWaitMs = 0;
};

// `reposa-server backup` of the running server's database while user0 sends
// user1 instant messages, one at a time: the longest wait of one, and how
// long the backup took. The copy must be whole.
Backup RunBackup(const std::string& serverPath, const std::string& db, const std::string& copy) {
  std::filesystem::remove(copy);
  // The IM rate lifted: the pings go on for as long as the backup takes.
  ChildProcess server({serverPath, "--db", db, "--listen", "127.0.0.1:0", "--keepalive", "0",
                       "--im-rate", "1073741824", "--im-network-rate", "1073741824"});
  const std::uint16_t port = Port(server);
  FlapPeer from(port), to(port);
  SignOn(from, "user0", "pw");
  SignOn(to, "user1", "pw");
  Backup result;
  Clock::time_point pingSent;
  auto ping = [&] {
    pingSent = Clock::now();
    from.SendLine("toc_send_im user1 \"ping\"");
  };
  Pump(
      {&to}, [] { return false; }, [](std::size_t, const PeerFrame&) {}, 200ms);  // settle
  ping();
  const auto start = Clock::now();
  ChildProcess backup({serverPath, "--db", db, "backup", copy});
  const bool finished = Pump(
      {&from, &to}, [&] { return !backup.Running(); },
      [&](std::size_t i, const PeerFrame& f) {
        if (i != 1 || !f.payload.starts_with("IM_IN")) return;
        const double ms =
            std::chrono::duration<double, std::milli>(Clock::now() - pingSent).count();
        result.longestWaitMs = std::max(result.longestWaitMs, ms);
        ping();
      },
      120s);
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!finished || backup.Wait() != 0) throw std::runtime_error("backup failed: " + backup.err());
  server.Stop();
  reposa::server::Database check(copy, false);
  reposa::server::Statement s(check.handle(), "PRAGMA integrity_check");
  if (!s.Step() || s.Text(0) != "ok") throw std::runtime_error("the backup is not whole");
  return result;
}

// Accounts added one at a time with `reposa-server account add` while the
// server runs; each signs on at once when the command has returned. The
// times from the command's return until the sign-on is accepted.
std::vector<double> RunLiveAdds(const std::string& serverPath, const std::string& db, int run,
                                int adds) {
  ChildProcess server({serverPath, "--db", db, "--listen", "127.0.0.1:0", "--keepalive", "0"});
  const std::uint16_t port = Port(server);
  std::vector<double> ms;
  for (int i = 0; i < adds; ++i) {
    const std::string name = "live" + std::to_string(run) + "x" + std::to_string(i);
    ChildProcess add({serverPath, "--db", db, "account", "add", name});
    add.WriteLine("pw-" + name);
    add.CloseInput();
    if (add.Wait(30s) != 0) throw std::runtime_error("account add failed: " + add.err());
    const auto returned = Clock::now();
    FlapPeer peer(port);
    SignOn(peer, name, "pw-" + name);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - returned).count());
  }
  server.Stop();
  return ms;
}

}  // namespace
}  // namespace kez::bench

int main(int argc, char** argv) {
  using namespace kez::bench;
  try {
    Args args(argc, argv);
    const std::string serverPath = args.Text("--server", REPOSA_SERVER_PATH);
    const int changes = static_cast<int>(args.Number("--changes", 10000));
    const int accounts = static_cast<int>(args.Number("--accounts", 1000));
    const int bigAccounts = static_cast<int>(args.Number("--big-accounts", 10000));
    const int buddies = static_cast<int>(args.Number("--buddies", 200));
    const int liveAdds = static_cast<int>(args.Number("--live-adds", 20));
    const int runs = static_cast<int>(args.Number("--runs", 3));
    const std::string json = args.Text("--json", "");
    args.Check();
    const reposa::test::TempDir temp;  // removed with the databases at the end
    const std::string& dir = temp.path;

    std::vector<double> burst, wait, plain, plainWait, signOns, checks, start, emptyStart;
    std::vector<double> backupSeconds, backupWait, liveAdd;
    for (int i = 0; i < runs; ++i) {
      // In turns with its reference, so both see the same machine.
      const Burst b = RunBurst(serverPath, dir + "/burst.db", changes, true);
      burst.push_back(b.seconds);
      wait.push_back(b.longestWaitMs);
      const Burst p = RunBurst(serverPath, dir + "/plain.db", changes, false);
      plain.push_back(p.seconds);
      plainWait.push_back(p.longestWaitMs);
    }
    {
      SqliteAccountStore store(dir + "/registered.db", reposa::server::Limits{});
      std::vector<StoredAccount> rows;
      for (int i = 0; i < accounts; ++i)
        rows.push_back({"user" + std::to_string(i), "user" + std::to_string(i),
                        reposa::server::HashPassword("pw", reposa::server::Limits{}), ""});
      rows.push_back({"victim", "victim",
                      reposa::server::HashPassword("right", reposa::server::Limits{}), ""});
      if (!store.Write([&] {
            for (const auto& r : rows) store.Put(r);
          }))
        throw std::runtime_error(store.lastError());
    }
    for (int i = 0; i < runs; ++i) {
      signOns.push_back(RunSignOns(serverPath, dir + "/registered.db", accounts));
      checks.push_back(PasswordChecksPerSecond());
    }
    {
      SqliteAccountStore store(dir + "/big.db", reposa::server::Limits{});
      const std::string hash = reposa::server::HashPassword("pw", reposa::server::Limits{});
      if (!store.Write([&] {
            for (int a = 0; a < bigAccounts; ++a) {
              std::string lists = "m:1\n";
              for (int b = 0; b < buddies; ++b) {
                if (b % 20 == 0) lists += "g:Group " + std::to_string(b / 20) + "\n";
                lists += "b:buddy" + std::to_string((a + b) % bigAccounts) + "\n";
              }
              store.Put({"user" + std::to_string(a), "User " + std::to_string(a), hash, lists});
            }
          }))
        throw std::runtime_error(store.lastError());
    }
    for (int i = 0; i < runs; ++i) {
      start.push_back(RunStart(serverPath, dir + "/big.db"));
      std::filesystem::remove(dir + "/empty.db");
      emptyStart.push_back(RunStart(serverPath, dir + "/empty.db"));
    }
    for (int i = 0; i < runs; ++i) {
      const Backup b = RunBackup(serverPath, dir + "/big.db", dir + "/copy.db");
      backupSeconds.push_back(b.seconds);
      backupWait.push_back(b.longestWaitMs);
    }
    for (int i = 0; i < runs; ++i) {
      const std::vector<double> times =
          RunLiveAdds(serverPath, dir + "/registered.db", i, liveAdds);
      liveAdd.push_back(*std::max_element(times.begin(), times.end()));
      std::printf("(live adds: median %.2f ms)\n", Median(times));
    }
    std::filesystem::remove_all(dir);

    const std::string n = std::to_string(changes);
    Figures figures("bench_store");
    figures.Add("store.burst_" + n + "_seconds", "s", burst);
    figures.Add("store.burst_longest_wait", "ms", wait);
    figures.Add("store.plain_" + n + "_seconds", "s", plain);
    figures.Add("store.plain_longest_wait", "ms", plainWait);
    figures.Add("store.registered_sign_ons_per_second", "1/s", signOns);
    const std::string big = std::to_string(bigAccounts) + "x" + std::to_string(buddies);
    figures.Add("store.password_checks_per_second", "1/s", checks);
    figures.Add("store.start_" + big, "ms", start);
    figures.Add("store.start_empty", "ms", emptyStart);
    figures.Add("store.backup_" + big + "_seconds", "s", backupSeconds);
    figures.Add("store.backup_longest_wait", "ms", backupWait);
    figures.Add("store.live_add_to_sign_on_longest", "ms", liveAdd);
    figures.Write(json);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_store: %s\n", e.what());
    return 1;
  }
  return 0;
}
