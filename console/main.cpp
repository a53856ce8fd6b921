// reposa-console: keeps one account present without a display, and lets
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

#include "console_session.h"
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

int Run(const Options& options) {
  ::signal(SIGPIPE, SIG_IGN);  // a closed stdout must not end the presence
  // Read at each sign-on; one that cannot be read now is a mistake to say
  // at once, not at every retry.
  if (!options.caFile.empty() && !std::ifstream(options.caFile))
    throw UsageError("--ca-file: cannot read " + options.caFile + ": " + std::strerror(errno));
  // Signals end the program between two steps of the loop, never inside one.
  const int signalFd = InstallStopSignals();
  if (signalFd < 0) {
    std::cerr << "reposa-console: cannot watch signals: " << std::strerror(errno) << std::endl;
    return kStartFailure;
  }

  std::optional<std::string> password;
  if (options.screenName) {
    password = StartupPassword(options, signalFd);
    if (!password) return 0;
  }

  kez::posix::EventLoop loop;
  LineReader* input = nullptr;
  // Results are never dropped: while they alone fill the queue, stop reading
  // the calls that make them.
  OutputQueue out(loop, STDOUT_FILENO, options.outputLimit, [&input](bool full) {
    if (input) input->SetPaused(full);
  });
  ConsoleSession session(
      loop, [&out](const nlohmann::ordered_json& line) { out.Write(line); }, options.packets,
      options.joins, ServerSocket(loop, options.server, options.caFile));
  loop.Watch(signalFd, POLLIN, [&loop](short) { loop.Stop(); });
  // End of input leaves the session running: the account stays present.
  LineReader reader(
      loop, STDIN_FILENO, [&session](std::string_view line) { session.HandleLine(line); }, {},
      [&out] {
        out.Write(nlohmann::ordered_json{{"error", "input line longer than " +
                                                       std::to_string(LineSplitter::kMaxLine) +
                                                       " bytes: skipped up to its line feed"}});
      });
  input = &reader;

  int status = 0;
  if (options.screenName && options.reconnect) {
    // The password stays in memory: every new sign-on needs it.
    session.KeepPresent(SignOn{*options.screenName, *password, options.server.host,
                               options.server.port, options.authServer},
                        [&loop, &status] {
                          status = kRefusedStatus;
                          loop.Stop();
                        });
  } else if (options.screenName) {
    session.Control().Login(*options.screenName, *password, options.server.host,
                            options.server.port, options.authServer);
  }
  if (password) std::fill(password->begin(), password->end(), '\0');
  loop.Run();
  // The last lines, the error that ended the session among them, get a
  // moment to reach a slow reader; a stalled one cannot hold the exit.
  out.Drain(std::chrono::steady_clock::now() + std::chrono::seconds(1));
  return status;
}

// A --config file, bounded: it holds a few options, nothing more.
std::string ReadConfigFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw UsageError("--config: cannot read " + path);
  std::string text(64 * 1024 + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > 64 * 1024) throw UsageError("--config: " + path + " is larger than 64 KiB");
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  try {
    options = ParseOptions(args);
    if (options.configFile) {
      // The file's options first, so the command line adds to them.
      std::vector<std::string> all = ConfigArguments(ReadConfigFile(*options.configFile));
      all.insert(all.end(), args.begin(), args.end());
      options = ParseOptions(all);
      CheckOptions(options);
    }
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
    return Run(options);
  } catch (const UsageError& e) {
    std::cerr << "reposa-console: " << e.what() << std::endl;
    return kUsageStatus;
  } catch (const std::exception& e) {
    std::cerr << "reposa-console: " << e.what() << std::endl;
    return kStartFailure;
  }
}
