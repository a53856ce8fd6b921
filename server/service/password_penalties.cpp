#include "service/password_penalties.h"

#include <algorithm>
#include <array>

namespace reposa::server {

namespace {

PasswordPenalties::Millis SteadyNow() {
  return std::chrono::duration_cast<PasswordPenalties::Millis>(
      std::chrono::steady_clock::now().time_since_epoch());
}

}  // namespace

PasswordPenalties::PasswordPenalties(const Limits& limits, Clock now)
    : now_(now ? std::move(now) : Clock(SteadyNow)),
      first_(limits.refusalDelay),
      most_(limits.maxRefusalDelay),
      longestWait_(limits.maxCheckWait),
      forget_(limits.forgetFailures),
      freePerAddress_(limits.freeFailuresPerAddress),
      freePerNetwork_(limits.freeFailuresPerNetwork),
      capacity_(std::max<std::size_t>(limits.maxFailureEntries, 3)) {}

PasswordPenalties::Keys PasswordPenalties::For(std::string_view normalisedName,
                                               std::string_view address, std::string_view network) {
  // Prefixed, so a name can never be taken for an address.
  return Keys{"n " + std::string(normalisedName) + " " + std::string(network),
              "a " + std::string(address), "w " + std::string(network)};
}

PasswordPenalties::Millis PasswordPenalties::Spacing(std::size_t failures, std::size_t free) const {
  if (failures <= free) return Millis(0);
  Millis wait = first_;
  for (std::size_t i = free + 1; i < failures && wait < most_; ++i) wait *= 2;
  return std::min(wait, most_);
}

PasswordPenalties::Entry& PasswordPenalties::Find(const std::string& key, Millis now) {
  auto [it, added] = entries_.try_emplace(key);
  Entry& e = it->second;
  if (added) {
    uses_.push_front(key);
  } else {
    uses_.splice(uses_.begin(), uses_, e.use);
    if (e.out == 0 && now - e.last > forget_) e = Entry{};
  }
  e.use = uses_.begin();
  return e;
}

// Past the bound the least recently used go, but never one with a check out.
void PasswordPenalties::Trim() {
  for (auto it = uses_.end(); entries_.size() > capacity_ && it != uses_.begin();) {
    --it;
    auto entry = entries_.find(*it);
    if (entry->second.out > 0) continue;
    entries_.erase(entry);
    it = uses_.erase(it);
  }
}

std::optional<PasswordPenalties::Millis> PasswordPenalties::Reserve(const Keys& keys) {
  const Millis now = now_();
  const std::array<std::pair<const std::string*, std::size_t>, 3> kinds = {
      {{&keys.name, 0}, {&keys.address, freePerAddress_}, {&keys.network, freePerNetwork_}}};
  std::array<Entry*, 3> entries{};
  Millis start = now;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    entries[i] = &Find(*kinds[i].first, now);
    start = std::max(start, entries[i]->gate);
  }
  std::optional<Millis> wait;
  if (start - now <= longestWait_) {
    wait = start - now;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
      Entry& e = *entries[i];
      ++e.out;
      e.last = now;
      e.gate = start + Spacing(e.failures + e.out, kinds[i].second);
    }
  }
  Trim();
  return wait;
}

void PasswordPenalties::Judged(const Keys& keys, bool right) {
  const Millis now = now_();
  for (const std::string* key : {&keys.name, &keys.address, &keys.network}) {
    Entry& e = Find(*key, now);
    if (e.out > 0) --e.out;
    e.last = now;
    if (!right) {
      ++e.failures;
    } else if (key == &keys.name) {
      // The owner got in: its name starts afresh from here.
      e.failures = 0;
      e.gate = std::min(e.gate, now);
    }
  }
}

void PasswordPenalties::Withdrawn(const Keys& keys) {
  const Millis now = now_();
  for (const std::string* key : {&keys.name, &keys.address, &keys.network}) {
    Entry& e = Find(*key, now);
    if (e.out > 0) --e.out;
  }
}

}  // namespace reposa::server
