#pragma once

// reposa-server as a process on 127.0.0.1 with a port the system picks and a
// database of its own in memory; ready once it says where it listens. Given
// --tls-listen as well, tlsPort() is where it listens over TLS.
// REPOSA_SERVER_PATH names the program for the target including this.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ChildProcess.h"

namespace reposa::test {

inline constexpr std::string_view kPlainMarker = "listening on 127.0.0.1:";
inline constexpr std::string_view kTlsMarker = "listening for TLS on 127.0.0.1:";

// The port from "listening on 127.0.0.1:<port> ..." (or the TLS line); 0
// when not there.
inline std::uint16_t ListeningPort(const std::string& log, std::string_view marker = kPlainMarker) {
  const std::size_t at = log.find(marker);
  unsigned port = 0;
  for (std::size_t i = at == std::string::npos ? log.size() : at + marker.size();
       i < log.size() && log[i] >= '0' && log[i] <= '9' && port <= 65535; ++i)
    port = port * 10 + static_cast<unsigned>(log[i] - '0');
  return port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
}

class ServerProcess : public ChildProcess {
 public:
  explicit ServerProcess(std::vector<std::string> args = {},
                         const std::string& program = REPOSA_SERVER_PATH)
      : ChildProcess(WithDefaults(program, std::move(args))) {
    if (WaitErr(" (loopback only)") == std::string::npos || !(port_ = ListeningPort(err())))
      throw std::runtime_error("the server did not start: " + err());
  }
  std::uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  // The TLS port, once the server says it (0 when it does not).
  std::uint16_t tlsPort() {
    if (tlsPort_) return tlsPort_;
    const std::size_t at = WaitErr(kTlsMarker);
    if (at != std::string::npos && WaitErr(" (loopback only)", at) != std::string::npos)
      tlsPort_ = ListeningPort(err(), kTlsMarker);
    return tlsPort_;
  }
  // The console's --server for it over TLS, by the name its certificate has.
  std::string tlsAddress() { return "tls://localhost:" + std::to_string(tlsPort()); }

 private:
  static std::vector<std::string> WithDefaults(const std::string& program,
                                               std::vector<std::string> args) {
    args.insert(args.begin(), {program, "--db", ":memory:", "--listen", "127.0.0.1:0"});
    return args;
  }
  std::uint16_t port_ = 0;
  std::uint16_t tlsPort_ = 0;
};

}  // namespace reposa::test
