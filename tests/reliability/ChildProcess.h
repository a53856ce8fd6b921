#pragma once

// A program of the tree run as a real process, its standard input, output and
// error on pipes; every wait is bounded. Also reads what /proc says about it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace reposa::e2e {

using namespace std::chrono_literals;

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ChildProcess(std::vector<std::string> args) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
  }
  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    ::close(out_);
    ::close(err_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& out() const { return out_text_; }
  const std::string& err() const { return err_text_; }

  // Writes all of `bytes` to the program's standard input.
  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(in_, bytes.data(), bytes.size());
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  void CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }

  // Reads output until `done` holds; false when the bound passes first.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound = 5s) {
    const auto deadline = Clock::now() + bound;
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      Pump(deadline);
    }
    return true;
  }
  bool WaitForErr(std::string_view text, std::chrono::milliseconds bound = 5s) {
    return WaitFor([&] { return err_text_.find(text) != std::string::npos; }, bound);
  }

  // Takes whatever output is there without waiting, so a program that logs a
  // lot never blocks on a full pipe.
  void Drain() {
    while (Pump(Clock::now())) {
    }
  }

  // The next whole line of standard output, without its line feed.
  std::optional<std::string> NextLine(std::chrono::milliseconds bound = 5s) {
    std::optional<std::string> line;
    WaitFor(
        [&] {
          const std::size_t end = out_text_.find('\n', taken_);
          if (end == std::string::npos) return false;
          line = out_text_.substr(taken_, end - taken_);
          taken_ = end + 1;
          return true;
        },
        bound);
    return line;
  }

  // Waits for the exit, reading both outputs to their end; the exit status,
  // or 128 + the signal that ended it.
  std::optional<int> Wait(std::chrono::milliseconds bound = 5s) {
    const auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline) {
      Pump(Clock::now() + 10ms);
      int status = 0;
      if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        while (Pump(Clock::now() + 10ms)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return std::nullopt;
  }

  // Open file descriptors of the running program.
  std::size_t OpenFiles() const {
    std::size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
      ++n;
    return n;
  }
  // Resident memory in KiB, from /proc/<pid>/status.
  std::size_t ResidentKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    while (status >> key) {
      if (key == "VmRSS:") {
        std::size_t kib = 0;
        status >> kib;
        return kib;
      }
      status.ignore(1 << 16, '\n');
    }
    return 0;
  }

 private:
  // One wait for output, at most until `deadline`; false when nothing came.
  bool Pump(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    // A pipe at its end is left out (a negative descriptor is skipped).
    pollfd fds[2] = {{outOpen_ ? out_ : -1, POLLIN, 0}, {errOpen_ ? err_ : -1, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(std::clamp<long long>(left, 0, 1000))) <= 0) return false;
    bool got = false;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? out_text_ : err_text_).append(buffer, static_cast<std::size_t>(n));
        got = true;
      } else if (n == 0) {
        (i == 0 ? outOpen_ : errOpen_) = false;
      }
    }
    return got;
  }

  pid_t pid_ = 0;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string out_text_, err_text_;
  std::size_t taken_ = 0;
  bool outOpen_ = true, errOpen_ = true;
};

}  // namespace reposa::e2e
