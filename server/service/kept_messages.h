#pragma once

// Instant messages kept for a registered account while it is not signed on,
// oldest first, until they are handed over after its next sign-on.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>

namespace reposa::server {

struct KeptMessage {
  std::int64_t id = 0;  // orders the messages of every account; unique in the store
  std::string sender;   // normalised
  std::string senderDisplay;
  std::string userClass;  // the sender's, when it sent
  std::string text;
  std::int64_t sentAt = 0;  // seconds since the epoch

  // What a message counts against its account's and the server's bounds.
  std::size_t Bytes() const { return sender.size() + senderDisplay.size() + text.size(); }
};

class KeptBox {
 public:
  bool empty() const { return messages_.empty(); }
  std::size_t count() const { return messages_.size(); }
  std::size_t bytes() const { return bytes_; }
  // Messages waiting from `sender` (normalised).
  std::size_t From(std::string_view sender) const;
  const std::deque<KeptMessage>& messages() const { return messages_; }

  // Appends; ids must grow.
  void Add(KeptMessage message);
  // The oldest messages up to `maxBytes` together (always at least one),
  // taken out of the box in order.
  std::deque<KeptMessage> TakeOldest(std::size_t maxBytes);
  // Removes the message with that id, if it is still here: its bytes, or 0.
  std::size_t Remove(std::int64_t id);

 private:
  void Forget(const KeptMessage& message);

  std::deque<KeptMessage> messages_;
  std::size_t bytes_ = 0;
  std::map<std::string, std::size_t, std::less<>> perSender_;
};

}  // namespace reposa::server
