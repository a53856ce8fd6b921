#pragma once

#include <cstdint>
#include <string_view>

namespace reposa::server {

// Every connection has its own number, never reused while the server runs.
using SessionId = std::uint64_t;

// Where the service's answers go. Both calls only queue: they never end a
// session on the spot, so the service may call them while it walks its lists.
class Outbox {
 public:
  virtual ~Outbox() = default;
  // One server message, the payload of a data frame.
  virtual void Deliver(SessionId to, std::string_view message) = 0;
  // Sends a sign-off frame after what is queued, then closes the connection:
  // used when the same screen name signs on again elsewhere, or to end a
  // session that abuses the service.
  virtual void EndSession(SessionId id, std::string_view why = "replaced by a newer sign-on") = 0;
  // An answer saying that command number `command` changed what is stored:
  // it must not leave before the change is on disk. Empty: a change that is
  // answered only when it fails.
  virtual void Acknowledge(SessionId to, std::uint64_t command, std::string_view message) {
    (void)command;
    if (!message.empty()) Deliver(to, message);
  }
  // The outcome of a sign-on whose password was checked off the loop.
  virtual void SignOnVerdict(SessionId, bool accepted) { (void)accepted; }
  // Asks for Service::Drained(to) once everything queued for `to` so far has
  // gone to the network, so a long delivery can wait for the client to keep
  // up. An outbox that never calls it leaves the rest to later sign-ons.
  virtual void AwaitDrain(SessionId to) { (void)to; }
};

}  // namespace reposa::server
