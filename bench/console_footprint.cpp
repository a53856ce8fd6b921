// reposa-console's footprint: resident memory once signed on with a stored
// configuration of many buddies, and the CPU time and wake-ups it spends
// while signed on and idle. An empty C++ program is measured alongside as
// the floor. With --tls the console signs on over TLS (verified against a
// CA made for the run), and the figures are named console_tls.*. With
// --accounts N one console keeps N accounts of `buddies` buddies each (one
// --config file, a section each), and the figures are named
// console_N_accounts.*, with the resident memory each account beyond the
// first adds over a one-account console measured in the same run.
//
//   bench_console [--buddies 1000] [--idle 10] [--runs 3] [--json FILE] [--tls]
//                 [--accounts N]

#include <poll.h>
#include <stdlib.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Figures.h"
#include "FlapPeer.h"
#include "PrivateFile.h"
#include "ServerProcess.h"
#include "TlsServerFiles.h"

namespace kez::bench {
namespace {

using reposa::test::PrivateFile;
using reposa::test::ServerProcess;

const std::string kName = "Console Bench";

// The screen name of account `i` of several.
std::string AccountName(int accounts, int i) {
  return accounts == 1 ? kName : kName + " " + std::to_string(i + 1);
}

// Pumps one peer until `done`, handing it every frame; throws after `bound`.
void PumpOne(FlapPeer& peer, const std::function<void(const PeerFrame&)>& onFrame,
             const std::function<bool()>& done, std::chrono::milliseconds bound, const char* what) {
  const auto deadline = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() > deadline) throw std::runtime_error(std::string("timed out: ") + what);
    pollfd p{peer.fd(), static_cast<short>(POLLIN | (peer.wantsWrite() ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    if (p.revents & POLLOUT) peer.Flush();
    if (!peer.Receive()) throw std::runtime_error(std::string("connection closed: ") + what);
    while (auto f = peer.Next()) onFrame(*f);
  }
}

// Stores `buddies` buddies, in groups of a hundred, for `name`.
void StoreBuddies(std::uint16_t port, int buddies, const std::string& name) {
  FlapPeer peer(port);
  peer.SendOpening();
  bool online = false;
  int inserted = 0;
  PumpOne(
      peer,
      [&](const PeerFrame& f) {
        if (f.type == 1) return peer.SendSignOn(name, "secret");
        if (f.payload.starts_with("ERROR:"))
          throw std::runtime_error("while storing buddies: " + std::string(f.payload));
        if (f.payload.starts_with("INSERTED2:b:")) ++inserted;
        if (!online && f.payload.starts_with("CONFIG2:") &&
            f.payload.find("done:") != std::string_view::npos) {
          online = true;
          peer.SendLine("toc_init_done");
          for (int first = 0; first < buddies; first += 100) {
            std::string entry = "{g:Group " + std::to_string(first / 100 + 1) + "\n";
            for (int i = first; i < std::min(buddies, first + 100); ++i)
              entry += "b:buddy" + std::to_string(10000 + i).substr(1) + "\n";
            peer.SendLine("toc2_new_buddies \"" + entry + "}\"");
          }
        }
      },
      [&] { return inserted == buddies; }, 30s, "storing buddies");
}

struct RunResult {
  double signOnMs = 0;
  double rssKiB = 0;
  double hwmKiB = 0;
  double anonKiB = 0;
  double idleCpuMs = 0;
  double idleWakeups = 0;
  double emptyHwmKiB = 0;
};

// The console's command line: one account on the command line, or several
// in `config`, written here.
std::vector<std::string> ConsoleCommand(const std::string& consolePath, ServerProcess& server,
                                        const reposa::test::TlsServerFiles& files, bool tls,
                                        int accounts, const PrivateFile& passwordFile,
                                        std::unique_ptr<PrivateFile>& config) {
  const std::string address =
      tls ? server.tlsAddress() : "127.0.0.1:" + std::to_string(server.port());
  std::vector<std::string> command = {consolePath, "--server", address};
  if (tls) command.insert(command.end(), {"--ca-file", files.caFile()});
  if (accounts == 1) {
    command.insert(command.end(), {"--screen-name", kName, "--password-file", passwordFile.path});
    return command;
  }
  std::string text = "password-file = " + passwordFile.path + "\n";
  for (int i = 0; i < accounts; ++i)
    text += "[account a" + std::to_string(i + 1) + "]\nscreen-name = " + AccountName(accounts, i) +
            "\n";
  config = std::make_unique<PrivateFile>(text);
  command.insert(command.end(), {"--config", config->path});
  return command;
}

// Waits for every account's LoggedIn line and checks each lists `buddies`.
void AwaitSignOns(ChildProcess& console, int accounts, int buddies) {
  const std::string loggedIn = "\"event\":\"LoggedIn\"";
  std::size_t from = 0;
  for (int i = 0; i < accounts; ++i) {
    const std::size_t found = console.WaitOut(loggedIn, from, 60s);
    const std::size_t begin =
        found == std::string::npos ? found : console.out().rfind('\n', found) + 1;
    const std::size_t end = begin == std::string::npos ? begin : console.WaitOut("\n", found);
    if (end == std::string::npos)
      throw std::runtime_error("the console did not sign on: " + console.err());
    const auto event = nlohmann::json::parse(console.out().substr(begin, end - 1 - begin));
    int listed = 0;
    for (const auto& item : event["args"][1])
      listed += !item.get<std::string>().starts_with("[group]");
    if (listed != buddies)
      throw std::runtime_error("LoggedIn listed " + std::to_string(listed) + " buddies");
    from = end;
  }
}

// Many accounts from one address: the server's connections per address
// raised to fit them (not its sign-ons under way: the console keeps within
// those).
std::vector<std::string> ServerOptions(const reposa::test::TlsServerFiles& files, bool tls,
                                       int accounts) {
  std::vector<std::string> options = tls ? files.Options() : std::vector<std::string>{};
  if (accounts > 1) {
    const std::string n = std::to_string(accounts + 8);
    options.insert(options.end(), {"--max-per-address", n, "--max-per-network", n});
  }
  return options;
}

RunResult Run(const std::string& serverPath, const std::string& consolePath,
              const std::string& emptyPath, int buddies, double idleSeconds, bool tls,
              int accounts) {
  RunResult r;
  const reposa::test::TlsServerFiles files;
  ServerProcess server(ServerOptions(files, tls, accounts), serverPath);
  for (int i = 0; i < accounts; ++i) StoreBuddies(server.port(), buddies, AccountName(accounts, i));

  const PrivateFile passwordFile("secret\n");
  std::unique_ptr<PrivateFile> config;
  ChildProcess console(
      ConsoleCommand(consolePath, server, files, tls, accounts, passwordFile, config));
  AwaitSignOns(console, accounts, buddies);
  r.signOnMs = std::chrono::duration<double, std::milli>(Clock::now() - console.started()).count();

  // Idle: nothing arrives, nothing is typed; the program should not run.
  // The window opens once it has gone back to sleep after the sign-on.
  if (!WaitAsleep(console.pid())) throw std::runtime_error("the console never went idle");
  const ProcSample before = Sample(console.pid());
  const std::size_t printed = console.out().size();
  if (!console.Idle(std::chrono::milliseconds(static_cast<long>(idleSeconds * 1000))))
    throw std::runtime_error("the console ended while idle: " + console.err());
  const ProcSample after = Sample(console.pid());
  if (console.out().size() != printed)
    throw std::runtime_error("the console printed while idle: " + console.out().substr(printed));
  r.rssKiB = static_cast<double>(after.rssKiB);
  r.hwmKiB = static_cast<double>(after.hwmKiB);
  r.anonKiB = static_cast<double>(after.anonKiB);
  r.idleCpuMs = static_cast<double>(after.cpuNs - before.cpuNs) / 1e6;
  r.idleWakeups = static_cast<double>(after.wakeups - before.wakeups);
  console.Stop();
  server.Stop();

  ChildProcess empty({emptyPath});
  if (empty.WaitOut("ready\n") == std::string::npos)
    throw std::runtime_error("the empty program did not start");
  r.emptyHwmKiB = static_cast<double>(Sample(empty.pid()).hwmKiB);
  return r;
}

}  // namespace
}  // namespace kez::bench

int main(int argc, char** argv) {
  using namespace kez::bench;
  try {
    Args args(argc, argv);
    const std::string serverPath = args.Text("--server", REPOSA_SERVER_PATH);
    const std::string consolePath = args.Text("--console", REPOSA_CONSOLE_PATH);
    const std::string emptyPath = args.Text("--empty", REPOSA_EMPTY_PATH);
    const int buddies = static_cast<int>(args.Number("--buddies", 1000));
    const double idle = args.Number("--idle", 10);
    const int runs = static_cast<int>(args.Number("--runs", 3));
    const std::string json = args.Text("--json", "");
    const bool tls = args.Flag("--tls");
    const int accounts = static_cast<int>(args.Number("--accounts", 1));
    args.Check();
    if (accounts < 1) throw std::runtime_error("--accounts: at least 1");

    std::vector<double> signOn, rss, hwm, anon, cpu, wakeups, empty, perAccount;
    for (int i = 0; i < runs; ++i) {
      const RunResult r = Run(serverPath, consolePath, emptyPath, buddies, idle, tls, accounts);
      if (accounts > 1) {
        const RunResult one = Run(serverPath, consolePath, emptyPath, buddies, 0, tls, 1);
        perAccount.push_back((r.rssKiB - one.rssKiB) / (accounts - 1) / 1024);
      }
      signOn.push_back(r.signOnMs);
      rss.push_back(r.rssKiB / 1024);
      hwm.push_back(r.hwmKiB / 1024);
      anon.push_back(r.anonKiB / 1024);
      cpu.push_back(r.idleCpuMs);
      wakeups.push_back(r.idleWakeups);
      empty.push_back(r.emptyHwmKiB / 1024);
    }
    const std::string b = std::to_string(buddies);
    char s[32];
    std::snprintf(s, sizeof s, "%g", idle);
    const std::string prefix = std::string(tls ? "console_tls" : "console") +
                               (accounts > 1 ? "_" + std::to_string(accounts) + "_accounts." : ".");
    Figures figures("bench_console");
    figures.Add(prefix + "start_to_signed_on_" + b + "_buddies", "ms", signOn);
    figures.Add(prefix + "rss_signed_on_" + b + "_buddies", "MiB", rss);
    figures.Add(prefix + "peak_rss_signed_on_" + b + "_buddies", "MiB", hwm);
    figures.Add(prefix + "rss_anon_signed_on_" + b + "_buddies", "MiB", anon);
    figures.Add(prefix + "cpu_idle_" + std::string(s) + "s", "ms", cpu);
    figures.Add(prefix + "wakeups_idle_" + std::string(s) + "s", "", wakeups);
    if (accounts > 1)
      figures.Add(prefix + "rss_per_extra_account_" + b + "_buddies", "MiB", perAccount);
    figures.Add("empty_cpp_program.peak_rss", "MiB", empty);
    figures.Write(json);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_console: %s\n", e.what());
    return 1;
  }
  return 0;
}
