#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace reposa::console::test {

// The real reposa-console program, with its three standard streams on pipes.
// Reads wait a few seconds at most; the destructor kills what is left.
class ConsoleProcess {
 public:
  explicit ConsoleProcess(const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv = {REPOSA_CONSOLE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const int rc =
        ::posix_spawn(&pid_, REPOSA_CONSOLE_PATH, &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) throw std::runtime_error("cannot start " REPOSA_CONSOLE_PATH);
  }
  ~ConsoleProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    ::close(out_);
    ::close(err_);
  }
  ConsoleProcess(const ConsoleProcess&) = delete;
  ConsoleProcess& operator=(const ConsoleProcess&) = delete;

  void Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(in_, bytes.data(), bytes.size());
      if (n <= 0) throw std::runtime_error("write to the console failed");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void WriteLine(std::string_view line) {
    Write(line);
    Write("\n");
  }
  // Writes what the input pipe takes without waiting; the rest is dropped.
  void TryWrite(std::string_view bytes) {
    ::fcntl(in_, F_SETFL, ::fcntl(in_, F_GETFL) | O_NONBLOCK);
    while (!bytes.empty()) {
      const ssize_t n = ::write(in_, bytes.data(), bytes.size());
      if (n <= 0) break;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // The next output line, or nothing at the end of output or after the bound.
  std::optional<std::string> ReadLine(int timeoutMs = 5000) {
    for (;;) {
      if (const std::size_t end = outBuffer_.find('\n'); end != std::string::npos) {
        std::string line = outBuffer_.substr(0, end);
        outBuffer_.erase(0, end + 1);
        output_ += line + "\n";
        return line;
      }
      if (!Fill(out_, outBuffer_, timeoutMs)) return std::nullopt;
    }
  }
  std::optional<nlohmann::ordered_json> ReadJson(int timeoutMs = 5000) {
    std::optional<std::string> line = ReadLine(timeoutMs);
    if (!line) return std::nullopt;
    return nlohmann::ordered_json::parse(*line);
  }

  void Signal(int sig) { ::kill(pid_, sig); }

  // Reads the output to its end, then waits for the exit; the exit status,
  // or -1 when the program is still running after the bound.
  int WaitExit() {
    while (ReadLine()) {
    }
    while (Fill(err_, stderr_, 5000)) {
    }
    return WaitExitWithoutReading();
  }
  // Waits for the exit while the output stays unread.
  int WaitExitWithoutReading() {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool exited = pidfd >= 0 && ::poll(&p, 1, 5000) == 1;
    if (pidfd >= 0) ::close(pidfd);
    int status = 0;
    if (!exited || ::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Everything read so far; standard error once the program has ended.
  const std::string& Output() const { return output_; }
  const std::string& Errors() const { return stderr_; }

 private:
  static bool Fill(int fd, std::string& buffer, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string outBuffer_;
  std::string output_;
  std::string stderr_;
};

}  // namespace reposa::console::test
