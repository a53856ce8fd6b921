#include "password.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace reposa::console {

std::string FirstLine(std::string_view content) {
  std::string_view line = content.substr(0, content.find('\n'));
  if (line.ends_with('\r')) line.remove_suffix(1);
  return std::string(line);
}

bool ReadableByOthers(mode_t mode) {
  return (mode & (S_IRGRP | S_IROTH)) != 0;
}

std::string ReadPasswordFile(const std::string& path, std::string& warning) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) == 0 && ReadableByOthers(st.st_mode)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    warning = "warning: password file " + path + " is readable by others (mode " + mode +
              "); restrict it with chmod 600";
  }
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw std::runtime_error("cannot read " + path + ": " + std::strerror(error));
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
    if (content.find('\n') != std::string::npos) break;  // only the first line counts
  }
  ::close(fd);
  std::string password = FirstLine(content);
  // Best effort: leave no second copy of the password in freed memory.
  std::memset(content.data(), 0, content.size());
  std::memset(buffer, 0, sizeof buffer);
  return password;
}

std::optional<std::string> PromptPassword(int tty, int out, std::string_view prompt,
                                          int interruptFd) {
  termios saved{};
  const bool isTerminal = ::tcgetattr(tty, &saved) == 0;
  if (isTerminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;  // the user still sees the line end
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  [[maybe_unused]] const ssize_t shown = ::write(out, prompt.data(), prompt.size());

  std::optional<std::string> password = std::string();
  for (;;) {
    pollfd fds[2] = {{tty, POLLIN, 0}, {interruptFd, POLLIN, 0}};
    if (::poll(fds, interruptFd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      password.reset();
      break;
    }
    if (fds[1].revents != 0) {
      password.reset();
      break;
    }
    char c = 0;
    const ssize_t n = ::read(tty, &c, 1);  // byte by byte: what follows is not ours
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      if (password->empty()) password.reset();  // closed before anything was typed
      break;
    }
    if (c == '\n') break;
    password->push_back(c);
  }
  if (password && password->ends_with('\r')) password->pop_back();
  if (isTerminal) ::tcsetattr(tty, TCSANOW, &saved);  // keep lines typed ahead
  return password;
}

}  // namespace reposa::console
