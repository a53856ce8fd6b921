#pragma once

// Rates that belong to a screen name or to a network, not to one session: a
// new session of the same name finds its buckets as the last one left them,
// so signing on again never earns a fresh allowance. Bounded: a name whose
// buckets are all full again is forgotten by a later sweep (nothing is
// lost), and past the bound the least recently used go first.

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server_limits.h"
#include "service/rate_limit.h"

namespace reposa::server {

class RateBook {
 public:
  enum Kind {
    kPresence,         // away, idle, capabilities, name format
    kUpdates,          // what watchers hear about the name
    kInvites,          // chat invitations, one token an invitee
    kLists,            // commands changing the stored lists
    kIm,               // instant message bytes of the name
    kImNetwork,        // instant message bytes of a network's senders
    kJoins,            // chat rooms joined
    kPasswordChanges,  // toc_change_passwd
    kKinds
  };
  explicit RateBook(const Limits& limits);

  // Takes `n` tokens of `kind` for `key` (a normalised name, or a network
  // for kImNetwork) at time `now`, if there are that many.
  bool Take(std::string_view key, Kind kind, std::int64_t now, std::int64_t n = 1);
  // Forgets the least recently used keys whose buckets are all full.
  void Sweep(std::int64_t now);
  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::array<RateLimit, kKinds> buckets;
    std::list<std::string>::iterator use;
  };
  std::array<RateLimit, kKinds> fresh_;
  std::size_t capacity_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> uses_;  // most recently used first
};

}  // namespace reposa::server
