#include "stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace reposa::console {

namespace {

int gWakeFd = -1;

void OnStopSignal(int) {
  const int savedErrno = errno;
  [[maybe_unused]] const ssize_t n = ::write(gWakeFd, "x", 1);  // full pipe: already awake
  errno = savedErrno;
}

}  // namespace

int InstallStopSignals() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  gWakeFd = fds[1];
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocking calls return EINTR
  if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0)
    return -1;
  return fds[0];
}

}  // namespace reposa::console
