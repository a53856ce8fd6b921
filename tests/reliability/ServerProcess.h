#pragma once

// reposa-server as a process on 127.0.0.1 with a port of its own choosing.

#include <cstdint>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace reposa::e2e {

class ServerProcess : public ChildProcess {
 public:
  explicit ServerProcess(std::vector<std::string> args = {})
      : ChildProcess(WithBinary(std::move(args))) {
    const std::string marker = "listening on 127.0.0.1:";
    if (!WaitForErr(" (loopback only)")) throw std::runtime_error("server did not start: " + err());
    port_ = static_cast<std::uint16_t>(std::stoi(err().substr(err().find(marker) + marker.size())));
  }
  std::uint16_t port() const { return port_; }

 private:
  static std::vector<std::string> WithBinary(std::vector<std::string> args) {
    args.insert(args.begin(), {REPOSA_SERVER_BINARY, "--db", ":memory:", "--listen", "127.0.0.1:0"});
    return args;
  }
  std::uint16_t port_ = 0;
};

}  // namespace reposa::e2e
