#pragma once

// The password checks waiting for a worker thread, taken fairly: in turn
// from each network that has one waiting, and within a network in turn from
// each address, so a flood from one place waits behind its own checks while
// everyone else's go ahead. A check may wait for a time of its own before it
// is taken (the wait earned by earlier wrong passwords), and may be taken
// back before it starts. Bounded in all and per address. Not thread-safe:
// the worker guards it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace reposa::server {

class CheckQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Ticket = std::uint64_t;  // never 0

  CheckQueue(std::size_t most, std::size_t mostPerAddress)
      : most_(most), mostPerAddress_(mostPerAddress) {}

  // Queues check `ticket` from `address` in `network`, to be taken no earlier
  // than `notBefore`; false when the queue is full, in all or for the address.
  bool Add(Ticket ticket, const std::string& address, const std::string& network,
           Clock::time_point notBefore);
  // Takes it back before it is taken; false when it is not waiting.
  bool Remove(Ticket ticket);
  // The next check whose time has come, fairly; nothing when none has.
  // `next` gets the earliest time a waiting check may be taken.
  std::optional<Ticket> Take(Clock::time_point now, Clock::time_point* next = nullptr);

  std::size_t size() const { return waiting_.size(); }

 private:
  struct Waiting {
    Ticket ticket;
    std::string address;
    std::string network;
    Clock::time_point notBefore;
  };
  // How often a network or an address was served; one that had nothing
  // waiting starts level with the last one served, not ahead of it.
  struct Turns {
    std::uint64_t turn = 0;
    std::size_t waiting = 0;
  };
  Turns& Join(std::unordered_map<std::string, Turns>& turns, const std::string& key,
              std::uint64_t start);
  static void Leave(std::unordered_map<std::string, Turns>& turns, const std::string& key,
                    bool served);
  void Erase(std::size_t index, bool served);

  std::size_t most_;
  std::size_t mostPerAddress_;
  std::vector<Waiting> waiting_;
  std::unordered_map<std::string, Turns> networks_;
  std::unordered_map<std::string, Turns> addresses_;
  std::uint64_t lastNetworkTurn_ = 0;
  std::uint64_t lastAddressTurn_ = 0;
};

}  // namespace reposa::server
