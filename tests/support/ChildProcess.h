#pragma once

// A program run as a real process for a test or a measuring driver: its
// standard input, output and error on pipes, every wait bounded, and what
// /proc says about it. Output is read whenever the caller waits for
// anything or calls Drain(); a program that logs a lot between two waits
// blocks on its full pipe, as it would under a log reader that stalls.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace reposa::test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What /proc tells about a running process.
struct ProcSample {
  std::int64_t rssKiB = 0;    // resident now
  std::int64_t hwmKiB = 0;    // peak resident
  std::int64_t anonKiB = 0;   // resident and private: heap, stacks, data
  std::int64_t fileKiB = 0;   // resident pages of mapped files, shared libraries
  std::int64_t cpuNs = 0;     // on a CPU, all threads, since start
  std::int64_t wakeups = 0;   // voluntary context switches, all threads
  std::int64_t preempts = 0;  // involuntary context switches, all threads
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The number after "<key>:" at the start of a line of a /proc status file.
inline std::int64_t StatusField(const std::string& status, std::string_view key) {
  std::string line(key);
  line += ':';
  for (std::size_t at = status.find(line); at != std::string::npos; at = status.find(line, at + 1))
    if (at == 0 || status[at - 1] == '\n') return std::stoll(status.substr(at + line.size()));
  return 0;
}

inline ProcSample Sample(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  ProcSample s;
  const std::string status = ReadFile(dir + "/status");
  s.rssKiB = StatusField(status, "VmRSS");
  s.hwmKiB = StatusField(status, "VmHWM");
  s.anonKiB = StatusField(status, "RssAnon");
  s.fileKiB = StatusField(status, "RssFile");
  // Per thread: schedstat has nanoseconds on a CPU; status the switches.
  if (DIR* tasks = ::opendir((dir + "/task").c_str())) {
    while (dirent* e = ::readdir(tasks)) {
      if (e->d_name[0] == '.') continue;
      const std::string task = dir + "/task/" + e->d_name;
      std::istringstream sched(ReadFile(task + "/schedstat"));
      std::int64_t ns = 0;
      sched >> ns;
      s.cpuNs += ns;
      const std::string ts = ReadFile(task + "/status");
      s.wakeups += StatusField(ts, "voluntary_ctxt_switches");
      s.preempts += StatusField(ts, "nonvoluntary_ctxt_switches");
    }
    ::closedir(tasks);
  }
  return s;
}

// Open file descriptors of a running process.
inline std::size_t OpenFiles(pid_t pid) {
  std::size_t n = 0;
  if (DIR* fds = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* e = ::readdir(fds)) n += e->d_name[0] != '.';
    ::closedir(fds);
  }
  return n;
}

// Waits (within `bound`) until the process is asleep, blocked in a system
// call such as poll(); false if it never is.
inline bool WaitAsleep(pid_t pid, std::chrono::milliseconds bound = 2s) {
  const auto deadline = Clock::now() + bound;
  while (Clock::now() < deadline) {
    // /proc/<pid>/stat: "<pid> (<name>) <state> ..."; the name may hold spaces.
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S')
      return true;
    ::poll(nullptr, 0, 1);
  }
  return false;
}

class ChildProcess {
 public:
  // `argv[0]` is the program's path; `env` holds "NAME=value" entries that
  // replace those of the same names in this process's environment.
  explicit ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& env = {}) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> environment(env);
    for (char** e = environ; *e; ++e) {
      const std::string_view entry(*e);
      const auto replaced = [&](const std::string& x) {
        return entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1);
      };
      if (std::none_of(env.begin(), env.end(), replaced)) environment.emplace_back(entry);
    }
    std::vector<char*> cargv, cenv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (std::string& e : environment) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    started_ = Clock::now();
    const int rc =
        ::posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, cargv.data(), cenv.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
    if (rc != 0) {
      pid_ = 0;
      Close();
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    Close();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  Clock::time_point started() const { return started_; }
  int outFd() const { return out_; }
  int errFd() const { return err_; }
  // Everything the program wrote so far to its standard output and error.
  const std::string& out() {
    Drain();
    return out_text_;
  }
  const std::string& err() {
    Drain();
    return err_text_;
  }

  // Writes all of `bytes` to the program's standard input.
  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(in_, bytes.data(), bytes.size());
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  bool WriteLine(std::string_view line) { return Write(std::string(line) + "\n"); }
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
  // Once the program has been reaped there is no one to signal.
  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }

  // Reads output until `done` holds; false when the bound passes first or
  // both outputs have ended without it.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound = 10s) {
    const auto deadline = Clock::now() + bound;
    while (!done()) {
      if (Clock::now() >= deadline || !Poll(deadline)) return done();
    }
    return true;
  }
  // Waits until standard output (or error) holds `text` after `from`;
  // where it ends, or npos.
  std::size_t WaitOut(std::string_view text, std::size_t from = 0,
                      std::chrono::milliseconds bound = 10s) {
    return WaitIn(out_text_, text, from, bound);
  }
  std::size_t WaitErr(std::string_view text, std::size_t from = 0,
                      std::chrono::milliseconds bound = 10s) {
    return WaitIn(err_text_, text, from, bound);
  }
  // The next whole line of standard output, without its line feed.
  std::optional<std::string> NextLine(std::chrono::milliseconds bound = 10s) {
    std::size_t end = std::string::npos;
    WaitFor([&] { return (end = out_text_.find('\n', taken_)) != std::string::npos; }, bound);
    if (end == std::string::npos) return std::nullopt;
    std::string line = out_text_.substr(taken_, end - taken_);
    taken_ = end + 1;
    return line;
  }
  // Takes whatever output is there without waiting.
  void Drain() {
    ReadSome(out_, out_text_);
    ReadSome(err_, err_text_);
  }
  // Reads the outputs for `bound`; true if the program still runs after it.
  bool Idle(std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline)
      if (!Poll(deadline)) return false;
    return Running();
  }
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = 0;
    status_ = Status(status);
    return false;
  }

  // Waits for the exit, reading both outputs to their end: the exit status,
  // 128 + the signal that ended it, or nothing while it still runs.
  std::optional<int> Wait(std::chrono::milliseconds bound = 10s) {
    const auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline && Poll(deadline)) {
    }
    return WaitWithoutReading(
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
  }
  // The same, leaving the output unread.
  std::optional<int> WaitWithoutReading(std::chrono::milliseconds bound = 10s) {
    if (pid_ > 0) {
      const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
      pollfd p{pidfd, POLLIN, 0};
      const bool ended =
          pidfd >= 0 && ::poll(&p, 1, static_cast<int>(std::max<long long>(bound.count(), 0))) == 1;
      if (pidfd >= 0) ::close(pidfd);
      if (!ended) return std::nullopt;
      Running();
    }
    return status_;
  }
  // Sends `sig` and waits for the exit as Wait() does.
  std::optional<int> Stop(int sig = SIGTERM, std::chrono::milliseconds bound = 10s) {
    Signal(sig);
    return Wait(bound);
  }

  ProcSample Sample() const { return test::Sample(pid_); }
  std::size_t ResidentKiB() const { return static_cast<std::size_t>(Sample().rssKiB); }
  std::size_t OpenFiles() const { return test::OpenFiles(pid_); }

 private:
  static int Status(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Close() {
    CloseInput();
    ::close(out_);
    ::close(err_);
  }
  static bool ReadSome(int fd, std::string& into) {
    char buffer[65536];
    bool any = false;
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) return any;
      into.append(buffer, static_cast<std::size_t>(n));
      any = true;
    }
  }
  // One wait on both outputs, until `deadline` at most; false once both
  // have ended.
  bool Poll(Clock::time_point deadline) {
    // An output at its end is left out (a negative descriptor is skipped).
    pollfd p[2] = {{outOpen_ ? out_ : -1, POLLIN, 0}, {errOpen_ ? err_ : -1, POLLIN, 0}};
    if (!outOpen_ && !errOpen_) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (::poll(p, 2, static_cast<int>(std::clamp<long long>(left.count(), 0, 1000))) <= 0)
      return true;
    for (int i = 0; i < 2; ++i) {
      if (!p[i].revents) continue;
      if (!ReadSome(p[i].fd, i == 0 ? out_text_ : err_text_) && (p[i].revents & POLLHUP))
        (i == 0 ? outOpen_ : errOpen_) = false;
    }
    return true;
  }
  std::size_t WaitIn(const std::string& buffer, std::string_view text, std::size_t from,
                     std::chrono::milliseconds bound) {
    std::size_t at = std::string::npos;
    WaitFor(
        [&] {
          return (at = buffer.find(text, std::min(from, buffer.size()))) != std::string::npos;
        },
        bound);
    return at == std::string::npos ? at : at + text.size();
  }

  pid_t pid_ = 0;
  std::optional<int> status_;
  int in_ = -1, out_ = -1, err_ = -1;
  Clock::time_point started_;
  std::string out_text_, err_text_;
  std::size_t taken_ = 0;
  bool outOpen_ = true, errOpen_ = true;
};

}  // namespace reposa::test
