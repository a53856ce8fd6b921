#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace reposa::e2e {

// The real reposa-server on 127.0.0.1 with a port the system picks. Its log
// (standard error) is read all along by a thread of its own, so a chatty
// server never blocks on a full pipe. The destructor kills what is left.
class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {REPOSA_SERVER_PATH, "--db", ":memory:", "--listen", "127.0.0.1:0"});
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(err[1]);
    if (rc != 0) {
      ::close(err[0]);
      pid_ = -1;
      throw std::runtime_error("cannot start " REPOSA_SERVER_PATH);
    }
    reader_ = std::thread([this, fd = err[0]] { Drain(fd); });
    // "reposa-server: listening on 127.0.0.1:<port> (loopback only); ..."
    const std::string marker = "listening on 127.0.0.1:";
    if (WaitForLog(marker)) {
      const std::string log = Log();
      unsigned port = 0;
      for (std::size_t i = log.find(marker) + marker.size(); i < log.size() && port <= 65535; ++i) {
        if (log[i] < '0' || log[i] > '9') break;
        port = port * 10 + static_cast<unsigned>(log[i] - '0');
      }
      if (port <= 65535) port_ = static_cast<std::uint16_t>(port);
    }
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // 0 when the server did not say where it listens.
  std::uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  std::string Log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  // Waits until the log holds `text`; false after the bound or at its end.
  bool WaitForLog(const std::string& text, std::chrono::milliseconds bound = kBound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] {
      return log_.find(text) != std::string::npos || ended_;
    }) && log_.find(text) != std::string::npos;
  }

  // Sends `sig` and waits for the exit: the exit status, 128 + the signal
  // for a killed server, or nothing when it still runs after the bound.
  std::optional<int> Stop(int sig = SIGTERM) {
    if (pid_ <= 0) return std::nullopt;
    ::kill(pid_, sig);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool exited = pidfd >= 0 && ::poll(&p, 1, static_cast<int>(kBound.count())) == 1;
    if (pidfd >= 0) ::close(pidfd);
    int status = 0;
    if (!exited || ::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    pid_ = -1;
    // Its last words may still be on their way through the pipe.
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kBound, [&] { return ended_; });
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  static constexpr std::chrono::milliseconds kBound{10000};

 private:
  void Drain(int fd) {
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard lock(mutex_);
      if (n <= 0) {
        ended_ = true;
        changed_.notify_all();
        break;
      }
      log_.append(chunk, static_cast<std::size_t>(n));
      changed_.notify_all();
    }
    ::close(fd);
  }

  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string log_;
  bool ended_ = false;
};

}  // namespace reposa::e2e
