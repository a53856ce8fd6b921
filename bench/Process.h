#pragma once

// A program under measurement: started with its standard streams on pipes,
// waited on with a bound, and observed through /proc (memory, CPU time,
// wake-ups) without disturbing it.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern char** environ;

namespace kez::bench {

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

// The number after "<key>:" at the start of a line of a /proc status file.
inline std::int64_t StatusField(const std::string& status, std::string_view key) {
  std::string line(key);
  line += ':';
  for (std::size_t at = status.find(line); at != std::string::npos; at = status.find(line, at + 1))
    if (at == 0 || status[at - 1] == '\n') return std::stoll(status.substr(at + line.size()));
  return 0;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
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

// A child process with standard input, output and error on pipes. Output
// that nobody waits for is read and kept, so the child never blocks on it.
class Process {
 public:
  Process(std::vector<std::string> argv, const std::vector<std::string>& extraEnv = {}) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The environment, with `extraEnv`'s "NAME=value" entries replacing
    // those of the same names.
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e) {
      const std::string_view entry(*e);
      const auto overridden = [&](const std::string& x) {
        return entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1);
      };
      if (std::none_of(extraEnv.begin(), extraEnv.end(), overridden)) env.emplace_back(entry);
    }
    std::vector<char*> cargv, cenv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (std::string& e : env) cenv.push_back(e.data());
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
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  ~Process() {
    Kill(SIGKILL);
    if (in_ >= 0) ::close(in_);
    ::close(out_);
    ::close(err_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  Clock::time_point started() const { return started_; }
  int errFd() const { return err_; }
  const std::string& out() const { return out_text_; }
  const std::string& err() const { return err_text_; }

  // Waits until standard output (or error) holds `text` after `from`;
  // returns where it ends, or npos on timeout or exit.
  std::size_t WaitOut(std::string_view text, std::size_t from = 0,
                      std::chrono::milliseconds bound = 10s) {
    return WaitIn(out_text_, text, from, bound);
  }
  std::size_t WaitErr(std::string_view text, std::size_t from = 0,
                      std::chrono::milliseconds bound = 10s) {
    return WaitIn(err_text_, text, from, bound);
  }
  // Reads whatever is there without waiting.
  void Drain() {
    ReadSome(out_, out_text_);
    ReadSome(err_, err_text_);
  }
  // Waits for `bound` while reading the outputs; true if the child is still
  // running at the end.
  bool Idle(std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline) {
      if (!Poll(deadline)) return false;
    }
    return Running();
  }

  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = 0;
      return false;
    }
    return true;
  }
  // Signals the child and reaps it, within a bound.
  void Stop(std::chrono::milliseconds bound = 5s) {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + bound;
    while (Running() && Clock::now() < deadline) Poll(Clock::now() + 10ms);
    Kill(SIGKILL);
  }

 private:
  void Kill(int sig) {
    if (pid_ <= 0) return;
    ::kill(pid_, sig);
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
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
  // One wait on both outputs, until `deadline`; false once both are closed.
  bool Poll(Clock::time_point deadline) {
    pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const int n = ::poll(p, 2, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (n <= 0) return true;
    bool open = false;
    for (int i = 0; i < 2; ++i) {
      if (!p[i].revents) {
        open = true;
        continue;
      }
      std::string& into = i == 0 ? out_text_ : err_text_;
      const std::size_t before = into.size();
      ReadSome(p[i].fd, into);
      if (into.size() > before || !(p[i].revents & POLLHUP)) open = true;
    }
    return open;
  }
  std::size_t WaitIn(const std::string& buffer, std::string_view text, std::size_t from,
                     std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
      const std::size_t at = buffer.find(text, std::min(from, buffer.size()));
      if (at != std::string::npos) return at + text.size();
      if (Clock::now() >= deadline || !Poll(deadline)) return std::string::npos;
    }
  }

  pid_t pid_ = 0;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  Clock::time_point started_;
  std::string out_text_;
  std::string err_text_;
};

// Median of a sample; the sample is reordered.
inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t mid = v.size() / 2;
  return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

inline double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

}  // namespace kez::bench
