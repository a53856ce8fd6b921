#include "service/kept_messages.h"

#include <algorithm>

namespace reposa::server {

std::size_t KeptBox::From(std::string_view sender) const {
  auto it = perSender_.find(sender);
  return it == perSender_.end() ? 0 : it->second;
}

void KeptBox::Add(KeptMessage message) {
  bytes_ += message.Bytes();
  ++perSender_[message.sender];
  messages_.push_back(std::move(message));
}

void KeptBox::Forget(const KeptMessage& message) {
  bytes_ -= message.Bytes();
  auto it = perSender_.find(message.sender);
  if (it != perSender_.end() && --it->second == 0) perSender_.erase(it);
}

std::deque<KeptMessage> KeptBox::TakeOldest(std::size_t maxBytes) {
  std::deque<KeptMessage> taken;
  std::size_t size = 0;
  while (!messages_.empty() && (taken.empty() || size + messages_.front().Bytes() <= maxBytes)) {
    size += messages_.front().Bytes();
    Forget(messages_.front());
    taken.push_back(std::move(messages_.front()));
    messages_.pop_front();
  }
  return taken;
}

std::size_t KeptBox::Remove(std::int64_t id) {
  // Ids grow from front to back.
  auto it = std::lower_bound(messages_.begin(), messages_.end(), id,
                             [](const KeptMessage& m, std::int64_t want) { return m.id < want; });
  if (it == messages_.end() || it->id != id) return 0;
  const std::size_t size = it->Bytes();
  Forget(*it);
  messages_.erase(it);
  return size;
}

}  // namespace reposa::server
