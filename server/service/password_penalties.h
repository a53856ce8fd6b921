#pragma once

// What wrong passwords cost. Every check is counted under three keys: the
// name in the network it came from, the address, and the network (a /24 or
// a /64). Each key holds its failures and the time before which its next
// check may not start; a check waits for the latest of its three keys, and
// its answer waits with it, right or wrong, so waiting tells nothing. While
// a check is out its key counts it as a failure already, so checks sent side
// by side wait in line instead of all going at once. A name counts from its
// first failure, an address and a network only past an allowance of their
// own. A name that is no account is counted exactly like one that is, and
// the name is counted per network, so guessing from one place never locks
// the owner out from another. Failures left alone long enough are
// forgotten; the table is bounded, the least recently used going first.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server_limits.h"

namespace reposa::server {

class PasswordPenalties {
 public:
  using Millis = std::chrono::milliseconds;
  using Clock = std::function<Millis()>;  // a steady clock
  // The waits and how long failures are remembered come from `limits`; no
  // clock: the steady clock.
  PasswordPenalties(const Limits& limits, Clock now = {});

  struct Keys {
    std::string name;  // normalised, with the network: "<name> <network>"
    std::string address;
    std::string network;
  };
  static Keys For(std::string_view normalisedName, std::string_view address,
                  std::string_view network);

  // Reserves a check's turn: how long from now it must wait, or nothing
  // when that is longer than the limits' longest wait (answer "too soon").
  std::optional<Millis> Reserve(const Keys& keys);
  // The reserved check ran: it was right or wrong.
  void Judged(const Keys& keys, bool right);
  // The reserved check never ran (its client left first): its turn stays
  // spent, so leaving early earns nothing.
  void Withdrawn(const Keys& keys);
  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::size_t failures = 0;
    std::size_t out = 0;  // checks reserved and not yet judged
    Millis gate{0};       // no check starts before this
    Millis last{0};
    std::list<std::string>::iterator use;
  };
  Entry& Find(const std::string& key, Millis now);
  Millis Spacing(std::size_t failures, std::size_t free) const;
  void Trim();

  Clock now_;
  Millis first_;
  Millis most_;
  Millis longestWait_;
  Millis forget_;
  std::size_t freePerAddress_;
  std::size_t freePerNetwork_;
  std::size_t capacity_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> uses_;  // most recently used first
};

}  // namespace reposa::server
