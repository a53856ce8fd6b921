#include "store/held_outbox.h"

namespace reposa::server {

void HeldOutbox::Deliver(SessionId to, std::string_view message) {
  if (!holding_) return out_.Deliver(to, message);
  held_.push_back(Held{Kind::Message, to, 0, std::string(message)});
}

void HeldOutbox::EndSession(SessionId id, std::string_view why) {
  if (!holding_) return out_.EndSession(id, why);
  held_.push_back(Held{Kind::End, id, 0, std::string(why)});
}

void HeldOutbox::Acknowledge(SessionId to, std::uint64_t command, std::string_view message) {
  if (!holding_) {
    if (!message.empty()) out_.Deliver(to, message);
    return;
  }
  held_.push_back(Held{Kind::Ack, to, command, std::string(message)});
}

void HeldOutbox::SignOnVerdict(SessionId id, bool accepted) {
  if (!holding_) return out_.SignOnVerdict(id, accepted);
  held_.push_back(Held{accepted ? Kind::Accepted : Kind::Refused, id, 0, {}});
}

void HeldOutbox::AwaitDrain(SessionId to) {
  if (!holding_) return out_.AwaitDrain(to);
  held_.push_back(Held{Kind::Drain, to, 0, {}});
}

void HeldOutbox::Release(bool stored, std::string_view failure) {
  holding_ = false;
  std::vector<Held> held;
  held.swap(held_);
  std::uint64_t failedCommand = 0;  // commands are numbered from 1
  for (const Held& h : held) {
    switch (h.kind) {
      case Kind::Message:
        out_.Deliver(h.to, h.message);
        break;
      case Kind::Ack:
        if (stored) {
          if (!h.message.empty()) out_.Deliver(h.to, h.message);
        } else if (h.command != failedCommand) {
          failedCommand = h.command;
          out_.Deliver(h.to, failure);
        }
        break;
      case Kind::End:
        out_.EndSession(h.to, h.message);
        break;
      case Kind::Accepted:
      case Kind::Refused:
        out_.SignOnVerdict(h.to, h.kind == Kind::Accepted);
        break;
      case Kind::Drain:
        out_.AwaitDrain(h.to);
        break;
    }
  }
}

}  // namespace reposa::server
