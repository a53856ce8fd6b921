#pragma once

// A plain HTTP exchange on loopback, for the metrics endpoint: the request
// sent whole, the answer read until the server closes.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "ChildProcess.h"

namespace reposa::test {

inline std::string HttpExchange(std::uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
      answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer;
}

inline const std::string kMetricsGet = "GET /metrics HTTP/1.1\r\nHost: reposa\r\n\r\n";

// The metrics port a server logged at start ("metrics on http://127.0.0.1:P"),
// or 0 when it did not say so in time.
inline std::uint16_t MetricsPort(ChildProcess& server) {
  const std::string marker = "metrics on http://127.0.0.1:";
  const std::size_t at = server.WaitErr(marker);
  return at == std::string::npos ? 0
                                 : static_cast<std::uint16_t>(std::stoi(server.err().substr(at)));
}

}  // namespace reposa::test
