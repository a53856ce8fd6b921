// reposa-console: keeps accounts present without a display, and lets
// scripts drive the whole session control over JSON lines.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "accounts.h"
#include "line_reader.h"
#include "options.h"
#include "output.h"
#include "password.h"
#include "server_socket.h"
#include "stop_signals.h"

#ifndef REPOSA_VERSION
#define REPOSA_VERSION "unknown"
#endif

namespace {

using namespace reposa::console;

constexpr int kUsageStatus = 2;
constexpr int kStartFailure = 1;
// --reconnect gave up: the server refused the account itself.
constexpr int kRefusedStatus = 3;

// The password for the start-up sign-on, or nothing when the program should
// end quietly (interrupted at the prompt). Throws for a start-up failure.
std::optional<std::string> StartupPassword(const Options& options, int signalFd) {
  if (options.passwordFile) {
    std::string warning;
    std::string password = ReadPasswordFile(*options.passwordFile, warning);
    if (!warning.empty()) std::cerr << "reposa-console: " << warning << std::endl;
    return password;
  }
  if (!::isatty(STDIN_FILENO))
    throw UsageError(
        "--screen-name needs --password-file FILE when standard input is not a terminal");
  std::optional<std::string> password = PromptPassword(
      STDIN_FILENO, STDERR_FILENO, "Password for " + *options.screenName + ": ", signalFd);
  return password;
}

// Each account's password, in order; nothing when the program should end
// quietly instead. The prompt is only ever for a lone account.
std::optional<std::vector<std::optional<std::string>>> StartupPasswords(
    const std::vector<Account>& accounts, int signalFd) {
  std::vector<std::optional<std::string>> passwords;
  passwords.reserve(accounts.size());
  for (const Account& account : accounts) {
    passwords.emplace_back();
    if (!account.options.screenName) continue;
    passwords.back() = StartupPassword(account.options, signalFd);
    if (!passwords.back()) return std::nullopt;
  }
  return passwords;
}

// Read at each sign-on; one that cannot be read now is a mistake to say at
// once, not at every retry.
void CheckCaFiles(const std::vector<Account>& accounts) {
  for (const Account& account : accounts) {
    const std::string& caFile = account.options.caFile;
    if (!caFile.empty() && !std::ifstream(caFile))
      throw UsageError((account.name.empty() ? "" : "[account " + account.name + "]: ") +
                       "--ca-file: cannot read " + caFile + ": " + std::strerror(errno));
  }
}

int Run(const std::vector<Account>& accounts) {
  ::signal(SIGPIPE, SIG_IGN);  // a closed stdout must not end the presence
  CheckCaFiles(accounts);
  // Signals end the program between two steps of the loop, never inside one.
  const int signalFd = InstallStopSignals();
  if (signalFd < 0) {
    std::cerr << "reposa-console: cannot watch signals: " << std::strerror(errno) << std::endl;
    return kStartFailure;
  }
  auto passwords = StartupPasswords(accounts, signalFd);
  if (!passwords) return 0;

  kez::posix::EventLoop loop;
  LineReader* input = nullptr;
  // Results are never dropped: while they alone fill the queue, stop reading
  // the calls that make them. The limit is the whole program's: every
  // account has the same.
  OutputQueue out(loop, STDOUT_FILENO, accounts.front().options.outputLimit, [&input](bool full) {
    if (input) input->SetPaused(full);
  });
  ConsoleAccounts sessions(loop, out, accounts);
  loop.Watch(signalFd, POLLIN, [&loop](short) { loop.Stop(); });
  // End of input leaves the sessions running: the accounts stay present.
  LineReader reader(
      loop, STDIN_FILENO, [&sessions](std::string_view line) { sessions.HandleLine(line); }, {},
      [&out] {
        out.Write(nlohmann::ordered_json{{"error", "input line longer than " +
                                                       std::to_string(LineSplitter::kMaxLine) +
                                                       " bytes: skipped up to its line feed"}});
      });
  input = &reader;

  int status = 0;
  sessions.Start(*passwords, [&loop, &status] {
    status = kRefusedStatus;
    loop.Stop();
  });
  loop.Run();
  // The last lines, the error that ended the session among them, get a
  // moment to reach a slow reader; a stalled one cannot hold the exit.
  out.Drain(std::chrono::steady_clock::now() + std::chrono::seconds(1));
  return status;
}

// A --config file, bounded: a few options for each of at most kMaxAccounts.
constexpr std::size_t kMaxConfigBytes = 1024 * 1024;
std::string ReadConfigFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw UsageError("--config: cannot read " + path);
  std::string text(kMaxConfigBytes + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kMaxConfigBytes)
    throw UsageError("--config: " + path + " is larger than 1 MiB");
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  std::vector<Account> accounts;
  try {
    options = ParseOptions(args);
    // The file's options first, so the command line adds to them.
    if (options.configFile)
      accounts = ConfigAccounts(ParseConfig(ReadConfigFile(*options.configFile)), args);
    else
      accounts.push_back(Account{"", options});
  } catch (const UsageError& e) {
    std::cerr << "reposa-console: " << e.what() << "\nTry 'reposa-console --help'." << std::endl;
    return kUsageStatus;
  }
  if (options.help) {
    std::cout << UsageText("reposa-console");
    return 0;
  }
  if (options.version) {
    std::cout << "reposa-console " REPOSA_VERSION "\n";
    return 0;
  }
  try {
    return Run(accounts);
  } catch (const UsageError& e) {
    std::cerr << "reposa-console: " << e.what() << std::endl;
    return kUsageStatus;
  } catch (const std::exception& e) {
    std::cerr << "reposa-console: " << e.what() << std::endl;
    return kStartFailure;
  }
}
