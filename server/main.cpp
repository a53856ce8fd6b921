// reposa-server: a local TOC2 server for trying Reposa and for tests. This
// file, the options, the account command and the log are the program's own;
// the server itself is the three rooms under net/, service/ and store/,
// joined in server.cpp.

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
#include "admin/control_socket.h"
#include "commands.h"
#include "kez/posix/EventLoop.h"
#include "log_queue.h"
#include "options.h"
#include "server.h"
#include "service/directory.h"
#include "service/password_worker.h"
#include "store/account_rows.h"
#include "store/accounts.h"
#include "store/sqlite_account_store.h"

namespace {

using namespace reposa::server;

int gSignalPipe = -1;
// Once the server runs, the log goes through a queue that never blocks, and
// a timer writes what waits only while something does.
std::optional<LogQueue> gLog;
kez::posix::EventLoop* gLoop = nullptr;
kez::posix::EventLoop::Id gLogTimer = 0;
std::chrono::milliseconds gLogFlush{250};

void OnSignal(int signal) {
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe, &byte, 1);
}

void FlushLogLater() {
  if (gLogTimer || !gLog->pending()) return;
  gLogTimer = gLoop->AddTimer(
      gLogFlush,
      [] {
        gLogTimer = 0;
        gLog->Flush();
        FlushLogLater();
      },
      false);
}

void Log(std::string_view line) {
  if (gLog) {
    gLog->Add(line);
    return FlushLogLater();
  }
  std::string text = "reposa-server: ";
  text.append(line).push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Each connection is a descriptor: ask for enough of them, as far as the
// hard limit allows, and say so when it falls short.
void RaiseOpenFileLimit(const Limits& limits) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(limits.maxConnections + limits.spareFiles);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < wanted)
    Log("open files limited to " + std::to_string(limit.rlim_cur) + "; fewer than " +
        std::to_string(limits.maxConnections) + " connections will fit");
}

// Output buffers of a burst are large and short-lived. A fixed threshold
// keeps them in their own mappings, given back when freed; glibc's moving
// threshold would put them on the heap, which a burst leaves fragmented and
// resident.
void KeepLargeBuffersApart(const Limits& limits) {
#if defined(__GLIBC__)
  ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(limits.keptOutputBuffer));
#else
  (void)limits;
#endif
}

// `what` is "accounts file" or "TLS key file"; `risk` says what others gain.
void WarnIfOthersMayRead(const std::string& file, std::string_view what, std::string_view risk) {
  unsigned mode = 0;
  if (!AccessibleByOthers(file, mode)) return;
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", mode);
  Log("WARNING: " + std::string(what) + " " + file + " is accessible by others (mode " + octal +
      "); " + std::string(risk) + ". Run: chmod 600 " + file);
}

// --accounts FILE: its new accounts into the store; false once logged why not.
bool ImportAccountsFile(const std::string& file, AccountStore& store, const Limits& limits) {
  WarnIfOthersMayRead(file, "accounts file", "its passwords can be read");
  try {
    const std::vector<AccountEntry> accounts = LoadAccounts(file, limits);
    if (accounts.empty()) {
      Log("accounts file " + file + " lists no accounts");
      return false;
    }
    ImportAccounts(store, accounts, limits);
    Log(std::to_string(accounts.size()) + " account(s) from " + file);
    return true;
  } catch (const std::exception& e) {
    Log(e.what());
    return false;
  }
}

// Every account of the store; null once logged why not.
std::unique_ptr<Directory> LoadDirectory(AccountStore& store, const Limits& limits) {
  std::unique_ptr<Directory> directory;
  try {
    directory = std::make_unique<Directory>(limits, ToAccounts(store.LoadAll()));
  } catch (const std::exception& e) {
    Log("cannot read " + store.where() + ": " + e.what());
    return nullptr;
  }
  if (directory->open()) {
    Log("open: no registered accounts in " + store.where() +
        "; any screen name signs on with any password");
  } else {
    Log("registered: only the accounts in " + store.where() + " sign on");
  }
  return directory;
}

// Where the control socket goes: named, or beside the database when its
// name fits a socket's (else none, and the log says why).
void ControlSocketAt(Options& options, const std::string& database) {
  if (!options.control.empty()) {
    options.server.control = options.control;
    return;
  }
  const std::string beside = DefaultControlSocketPath(database);
  if (FitsSocketName(beside)) {
    options.server.control = beside;
  } else if (!beside.empty()) {
    Log("no control socket: " + beside +
        " is too long a name for a socket; name one with --control");
  }
}

void LogListening(const Server& server) {
  if (server.plain() && server.loopback()) {
    Log("listening on " + server.address() +
        " (loopback only); for trying Reposa and for tests, not a public service");
  } else if (server.plain()) {
    Log("WARNING: listening on " + server.address() +
        " without TLS, reachable from other machines: passwords and messages travel readable "
        "on the network; give --tls-listen for them");
  }
  if (server.tls())
    Log("listening for TLS on " + server.tlsAddress() +
        (server.tlsLoopback() ? " (loopback only)" : ""));
}

// SIGINT and SIGTERM end the loop, and SIGHUP (a service manager's reload)
// reads the TLS certificate and key again, through a pipe the loop watches.
bool WatchSignals(kez::posix::EventLoop& loop, Server& server) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  gSignalPipe = fds[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  ::sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  loop.Watch(fds[0], POLLIN, [&loop, &server, fd = fds[0]](short) {
    char signals[16];
    const ssize_t n = ::read(fd, signals, sizeof signals);
    for (ssize_t i = 0; i < n; ++i) {
      if (signals[i] != SIGHUP) return loop.Stop();
      // Accounts change through the control socket: a reload is for the
      // certificate and key alone.
      Log(server.tls() ? "SIGHUP: " + server.ReloadTls()
                       : std::string("SIGHUP: nothing to re-read without --tls-listen; accounts "
                                     "change through the control socket"));
    }
  });
  return true;
}

// Runs the server until a signal ends it: the exit status.
int Serve(const Options& options, AccountStore& store, Directory& directory) {
  const Limits& limits = options.server.limits;
  PasswordWorker worker(limits);
  kez::posix::EventLoop loop;
  RaiseOpenFileLimit(limits);
  Server server(loop, directory, options.server, Log);
  if (options.server.tls)
    WarnIfOthersMayRead(options.server.tls->keyFile, "TLS key file",
                        "whoever reads it can pose as this server");
  server.UseStore(&store, &worker);
  // Signals are caught before anyone can learn that the server listens.
  if (!WatchSignals(loop, server)) {
    Log("cannot create a pipe");
    return 1;
  }
  try {
    server.Start();
  } catch (const std::exception& e) {
    Log(e.what());
    return 1;
  }
  LogListening(server);
  if (!options.server.control.empty()) Log("control socket: " + options.server.control);
  if (!server.metricsAddress().empty())
    Log("metrics on http://" + server.metricsAddress() + "/metrics");
  gLogFlush = limits.logFlush;
  gLoop = &loop;
  gLog.emplace(STDERR_FILENO, "reposa-server: ", limits.logBacklog);
  loop.Run();
  Log("stopped");
  gLog->Flush();
  gLoop = nullptr;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
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
  KeepLargeBuffersApart(options.server.limits);

  const std::string dbPath = options.database.empty() ? DefaultDatabasePath() : options.database;
  if (!options.command.empty()) return RunCommand(options, dbPath, Log);
  ControlSocketAt(options, dbPath);
  std::unique_ptr<SqliteAccountStore> store;
  try {
    store = std::make_unique<SqliteAccountStore>(dbPath, options.server.limits);
  } catch (const std::exception& e) {
    Log(e.what());
    return 1;
  }
  if (options.accountsFile &&
      !ImportAccountsFile(*options.accountsFile, *store, options.server.limits))
    return 1;
  std::unique_ptr<Directory> directory = LoadDirectory(*store, options.server.limits);
  if (!directory) return 1;
  return Serve(options, *store, *directory);
}
