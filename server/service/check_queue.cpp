#include "service/check_queue.h"

#include <algorithm>
#include <tuple>

namespace reposa::server {

CheckQueue::Turns& CheckQueue::Join(std::unordered_map<std::string, Turns>& turns,
                                    const std::string& key, std::uint64_t start) {
  auto [it, added] = turns.try_emplace(key);
  if (added) it->second.turn = start;
  ++it->second.waiting;
  return it->second;
}

void CheckQueue::Leave(std::unordered_map<std::string, Turns>& turns, const std::string& key,
                       bool served) {
  auto it = turns.find(key);
  if (it == turns.end()) return;
  if (served) ++it->second.turn;
  if (--it->second.waiting == 0) turns.erase(it);
}

bool CheckQueue::Add(Ticket ticket, const std::string& address, const std::string& network,
                     Clock::time_point notBefore) {
  if (waiting_.size() >= most_) return false;
  if (auto it = addresses_.find(address);
      it != addresses_.end() && it->second.waiting >= mostPerAddress_)
    return false;
  Join(networks_, network, lastNetworkTurn_);
  Join(addresses_, address, lastAddressTurn_);
  waiting_.push_back(Waiting{ticket, address, network, notBefore});
  return true;
}

void CheckQueue::Erase(std::size_t index, bool served) {
  Waiting& w = waiting_[index];
  // The level newcomers start at only rises: were it the turn of whoever
  // was served last, serving one that had waited since an earlier, lower
  // level would set newcomers below one that joined at a higher level, and
  // with new arrivals coming steadily that one would never be taken.
  if (served) {
    lastNetworkTurn_ = std::max(lastNetworkTurn_, networks_[w.network].turn);
    lastAddressTurn_ = std::max(lastAddressTurn_, addresses_[w.address].turn);
  }
  Leave(networks_, w.network, served);
  Leave(addresses_, w.address, served);
  waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(index));
}

bool CheckQueue::Remove(Ticket ticket) {
  for (std::size_t i = 0; i < waiting_.size(); ++i) {
    if (waiting_[i].ticket != ticket) continue;
    Erase(i, false);
    return true;
  }
  return false;
}

std::optional<CheckQueue::Ticket> CheckQueue::Take(Clock::time_point now, Clock::time_point* next) {
  // A scan of at most the queue's bound, before a check that costs far more.
  std::optional<std::size_t> best;
  std::tuple<std::uint64_t, std::uint64_t, Ticket> bestKey{};
  Clock::time_point earliest = Clock::time_point::max();
  std::size_t ready = 0;
  for (std::size_t i = 0; i < waiting_.size(); ++i) {
    const Waiting& w = waiting_[i];
    if (w.notBefore > now) {
      earliest = std::min(earliest, w.notBefore);
      continue;
    }
    ++ready;
    const auto key =
        std::make_tuple(networks_[w.network].turn, addresses_[w.address].turn, w.ticket);
    if (!best || key < bestKey) {
      best = i;
      bestKey = key;
    }
  }
  if (next) *next = ready > 1 ? now : earliest;
  if (!best) return std::nullopt;
  const Ticket ticket = waiting_[*best].ticket;
  Erase(*best, true);
  return ticket;
}

}  // namespace reposa::server
