#pragma once

// The caps on who may hold a connection: connections in all and from one
// address, and those still signing on, in all and from one address. Counts
// are kept per client address, and an address is forgotten once it holds no
// connection.

#include <cstddef>
#include <string>
#include <unordered_map>

#include "server_limits.h"

namespace reposa::server {

class Admission {
 public:
  explicit Admission(const Limits& limits) : limits_(limits) {}

  // Null when a new connection from `address` may come in (it is then
  // counted as signing on); else which cap it is over, for the log.
  const char* Admit(const std::string& address, std::size_t connections);
  // A connection from `address` is no longer signing on.
  void SignedOn(const std::string& address);
  // A connection from `address` is gone (`signingOn`: before it signed on).
  void Gone(const std::string& address, bool signingOn);
  std::size_t signingOn() const { return signingOn_; }

 private:
  struct Count {
    std::size_t all = 0;
    std::size_t signingOn = 0;
  };
  const Limits& limits_;
  std::unordered_map<std::string, Count> addresses_;
  std::size_t signingOn_ = 0;
};

}  // namespace reposa::server
