#pragma once

// A plain HTTP exchange on loopback, for the metrics endpoint: the request
// sent whole, the answer read until the server closes.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "ChildProcess.h"
#include "SocketExchange.h"

namespace reposa::test {

inline std::string HttpExchange(std::uint16_t port, const std::string& request) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ExchangeOnce(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0),
                      reinterpret_cast<sockaddr*>(&a), sizeof a, request);
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
