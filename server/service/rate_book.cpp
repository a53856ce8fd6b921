#include "service/rate_book.h"

#include <algorithm>

namespace reposa::server {

namespace {

constexpr std::size_t kSweepLook = 256;

RateLimit Bucket(std::size_t burst, std::size_t perSecond, std::int64_t seconds = 1) {
  return RateLimit{static_cast<std::int64_t>(burst), static_cast<std::int64_t>(perSecond),
                   std::max<std::int64_t>(seconds, 1)};
}

}  // namespace

RateBook::RateBook(const Limits& limits)
    : capacity_(std::max<std::size_t>(limits.maxRateEntries, 1)) {
  fresh_[kPresence] = Bucket(limits.presenceBurst, limits.presencePerSecond);
  fresh_[kUpdates] = Bucket(limits.updatesBurst, limits.updatesPerSecond);
  fresh_[kInvites] = Bucket(limits.inviteBurst, limits.invitesPerSecond);
  fresh_[kLists] = Bucket(limits.listChangeBurst, limits.listChangesPerSecond);
  fresh_[kIm] = Bucket(limits.imBurst, limits.imPerSecond);
  fresh_[kImNetwork] = Bucket(limits.imNetworkBurst, limits.imNetworkPerSecond);
  fresh_[kJoins] = Bucket(limits.joinBurst, limits.joinsPerSecond);
  fresh_[kPasswordChanges] =
      Bucket(limits.passwordChangeBurst, 1,
             std::chrono::duration_cast<std::chrono::seconds>(limits.passwordChangeEvery).count());
}

bool RateBook::Take(std::string_view key, Kind kind, std::int64_t now, std::int64_t n) {
  auto it = entries_.find(std::string(key));
  if (it == entries_.end()) {
    if (entries_.size() >= capacity_) {
      entries_.erase(uses_.back());
      uses_.pop_back();
    }
    uses_.emplace_front(key);
    it = entries_.emplace(uses_.front(), Entry{fresh_, uses_.begin()}).first;
  } else {
    uses_.splice(uses_.begin(), uses_, it->second.use);
  }
  return it->second.buckets[kind].Take(now, n);
}

void RateBook::Sweep(std::int64_t now) {
  // A bounded look from the least recently used end is enough: what it
  // leaves is looked at again by the next sweep, or pushed out by the bound.
  std::size_t looked = 0;
  for (auto it = uses_.end(); it != uses_.begin() && looked++ < kSweepLook;) {
    --it;
    auto entry = entries_.find(*it);
    if (!std::all_of(entry->second.buckets.begin(), entry->second.buckets.end(),
                     [now](const RateLimit& r) { return r.Full(now); }))
      continue;
    entries_.erase(entry);
    it = uses_.erase(it);
  }
}

}  // namespace reposa::server
