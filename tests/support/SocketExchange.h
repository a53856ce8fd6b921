#pragma once

// One request and its whole answer on a stream socket: connect, send the
// request at once, read until the peer closes. For the servers' plain
// side doors (the metrics port, the control socket).

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace reposa::test {

// Takes `fd` (a fresh stream socket) and closes it. Empty when the connect
// fails.
inline std::string ExchangeOnce(int fd, const sockaddr* to, socklen_t size,
                                std::string_view request) {
  std::string answer;
  if (::connect(fd, to, size) == 0) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
      answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer;
}

}  // namespace reposa::test
