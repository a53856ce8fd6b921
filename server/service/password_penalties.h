#pragma once

// Failed password checks, per account name: each failure doubles the delay
// before the next refusal is answered, so guessing one account's password
// slows to a crawl without the loop ever waiting. A success clears the name;
// a name left alone long enough starts afresh. The table holds only
// names of existing accounts, so its size is bounded by theirs.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server_limits.h"

namespace reposa::server {

class PasswordPenalties {
 public:
  using Clock = std::function<std::int64_t()>;  // seconds since the epoch
  // The delays and how long failures are remembered come from `limits`.
  PasswordPenalties(Clock now, const Limits& limits);

  // Records a failed check of `name` (normalised); returns how long its
  // refusal should wait.
  std::chrono::milliseconds Failed(std::string_view name);
  void Succeeded(std::string_view name);
  std::size_t size() const { return failures_.size(); }

 private:
  struct Entry {
    int count = 0;
    std::int64_t last = 0;
  };
  Clock now_;
  std::chrono::milliseconds first_;
  std::chrono::milliseconds most_;
  std::int64_t forget_;
  std::unordered_map<std::string, Entry> failures_;
};

}  // namespace reposa::server
