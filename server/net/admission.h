#pragma once

// The caps on who may hold a connection: connections in all, from one
// address and from one network (service/source_network.h), and those still
// signing on, in all, from one address and from one network. Counts are
// kept per address and per network, and one is forgotten once it holds
// nothing. A signing-on slot may outlive its connection: the slot of a
// client that left while its password was checked is held until the check
// is done, so leaving cannot make room for more checks.

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
  // A connection from `address` no longer holds a signing-on slot.
  void SignedOn(const std::string& address);
  // A connection from `address` is gone; `signingOn`: its signing-on slot
  // goes with it (else it signed on, or its slot is held for later).
  void Gone(const std::string& address, bool signingOn);
  std::size_t signingOn() const { return signingOn_; }

 private:
  struct Count {
    std::size_t all = 0;
    std::size_t signingOn = 0;
  };
  using Counts = std::unordered_map<std::string, Count>;
  static Count CountOf(const Counts& counts, const std::string& key);
  // Lowers one count of `key`, forgetting it once it holds nothing.
  static void Lower(Counts& counts, const std::string& key, std::size_t Count::*which);

  const Limits& limits_;
  Counts addresses_;
  Counts networks_;
  std::size_t signingOn_ = 0;
};

}  // namespace reposa::server
