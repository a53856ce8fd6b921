// reposa-server: a local TOC2 server for trying Reposa and for tests.

#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account_command.h"
#include "account_store.h"
#include "accounts.h"
#include "directory.h"
#include "kez/posix/EventLoop.h"
#include "log_queue.h"
#include "options.h"
#include "password_hash.h"
#include "server.h"

namespace {

int gSignalPipe = -1;
// Once the server runs, the log goes through a queue that never blocks.
std::optional<reposa::server::LogQueue> gLog;

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe, &byte, 1);
}

void Log(std::string_view line) {
  if (gLog) return gLog->Add(line);
  std::string text = "reposa-server: ";
  text.append(line).push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Each connection is a descriptor: ask for enough of them, as far as the
// hard limit allows, and say so when it falls short.
void RaiseOpenFileLimit(std::size_t connections) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(connections) + 64;
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < wanted)
    Log("open files limited to " + std::to_string(limit.rlim_cur) + "; fewer than " +
        std::to_string(connections) + " connections will fit");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace reposa::server;
  ::signal(SIGPIPE, SIG_IGN);
#if defined(__GLIBC__)
  // Output buffers of a burst are large and short-lived. A fixed threshold
  // keeps them in their own mappings, given back when freed; glibc's moving
  // threshold would put them on the heap, which a burst leaves fragmented
  // and resident.
  ::mallopt(M_MMAP_THRESHOLD, 64 * 1024);
#endif

  Options options;
  try {
    options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    Log(e.what());
    std::fputs("Try 'reposa-server --help'.\n", stderr);
    return 2;
  }
  if (options.help) {
    std::cout << UsageText();
    return 0;
  }
  if (options.version) {
    std::cout << "reposa-server " REPOSA_VERSION "\n";
    return 0;
  }

  const std::string dbPath = options.database.empty() ? DefaultDatabasePath() : options.database;
  std::unique_ptr<AccountStore> store;
  try {
    store = std::make_unique<AccountStore>(dbPath);
  } catch (const std::exception& e) {
    Log(e.what());
    return 1;
  }

  if (!options.accountAction.empty()) {
    try {
      const std::string done =
          options.accountAction == "add"
              ? AddAccount(*store, options.accountName, ReadNewPassword(options.accountName))
              : RemoveAccount(*store, options.accountName);
      Log(done);
      return 0;
    } catch (const std::exception& e) {
      Log("account " + options.accountAction + ": " + e.what());
      return 1;
    }
  }

  if (options.accountsFile) {
    const std::string& file = *options.accountsFile;
    unsigned mode = 0;
    if (AccessibleByOthers(file, mode)) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "%04o", mode);
      Log("WARNING: accounts file " + file + " is accessible by others (mode " + octal +
          "); its passwords can be read. Run: chmod 600 " + file);
    }
    try {
      const std::vector<AccountEntry> accounts = LoadAccounts(file);
      if (accounts.empty()) {
        Log("accounts file " + file + " lists no accounts");
        return 1;
      }
      ImportAccounts(*store, accounts);
      Log(std::to_string(accounts.size()) + " account(s) from " + file);
    } catch (const std::exception& e) {
      Log(e.what());
      return 1;
    }
  }

  std::unique_ptr<Directory> directory;
  try {
    directory = std::make_unique<Directory>(store->LoadAll());
  } catch (const std::exception& e) {
    Log("cannot read " + dbPath + ": " + e.what());
    return 1;
  }
  if (directory->open()) {
    Log("open: no registered accounts in " + dbPath +
        "; any screen name signs on with any password");
  } else {
    Log("registered: only the accounts in " + dbPath + " sign on");
  }
  PasswordWorker worker;

  kez::posix::EventLoop loop;
  RaiseOpenFileLimit(options.server.maxConnections);
  Server server(loop, *directory, options.server, Log);
  server.UseStore(store.get(), &worker);
  try {
    server.Start();
  } catch (const std::exception& e) {
    Log(e.what());
    return 1;
  }
  if (server.loopback()) {
    Log("listening on " + server.address() +
        " (loopback only); for trying Reposa and for tests, not a public service");
  } else {
    Log("WARNING: listening on " + server.address() +
        ", reachable from other machines; this server is for trying Reposa and for tests, "
        "not a public service");
  }

  gLog.emplace(STDERR_FILENO, "reposa-server: ");
  loop.AddTimer(std::chrono::milliseconds(250), [] { gLog->Flush(); });

  // SIGINT and SIGTERM end the loop through a pipe it watches.
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    Log("cannot create a pipe");
    return 1;
  }
  gSignalPipe = fds[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  loop.Watch(fds[0], POLLIN, [&loop](short) { loop.Stop(); });
  loop.Run();
  Log("stopped");
  gLog->Flush();
  return 0;
}
