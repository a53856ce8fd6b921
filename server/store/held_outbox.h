#pragma once

// Holds the server's output from the first stored change of a loop turn
// until that turn's changes are committed, so no acknowledgement leaves
// before what it acknowledges is on disk, and nothing overtakes it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/outbox.h"

namespace reposa::server {

class HeldOutbox final : public Outbox {
 public:
  explicit HeldOutbox(Outbox& out) : out_(out) {}

  void Deliver(SessionId to, std::string_view message) override;
  void EndSession(SessionId id, std::string_view why) override;
  void Acknowledge(SessionId to, std::uint64_t command, std::string_view message) override;
  void SignOnVerdict(SessionId id, bool accepted) override;
  void AwaitDrain(SessionId to) override;

  // Everything from now on waits for Release().
  void Hold() { holding_ = true; }
  bool holding() const { return holding_; }
  // Sends what was held, in order. When the changes were not stored, each
  // command's acknowledgements give way to one `failure` message.
  void Release(bool stored, std::string_view failure);

 private:
  enum class Kind { Message, Ack, End, Accepted, Refused, Drain };
  struct Held {
    Kind kind;
    SessionId to;
    std::uint64_t command;
    std::string message;
  };
  Outbox& out_;
  bool holding_ = false;
  std::vector<Held> held_;
};

}  // namespace reposa::server
