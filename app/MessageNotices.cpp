#include "MessageNotices.h"

namespace {

// Cut at a byte limit without splitting a UTF-8 sequence.
std::string Shortened(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text + "...";
}

}  // namespace

std::optional<MessageNotices::Notice> MessageNotices::Arrived(const std::string& sender,
                                                              std::string text,
                                                              Clock::time_point now) {
  ++unread_;
  auto it = senders_.find(sender);
  if (it == senders_.end()) {
    if (senders_.size() >= kMaxSenders) Forget(now);
    if (senders_.size() >= kMaxSenders) return std::nullopt;
    it = senders_.emplace(sender, Sender{now}).first;
  }
  Sender& s = it->second;
  if (s.folded == 0 && now - s.since >= kWindow) s = Sender{now};
  if (s.shown >= kPerSender) {
    ++s.folded;
    return std::nullopt;
  }
  ++s.shown;
  return Notice{sender, Shortened(std::move(text), kMaxText)};
}

std::vector<MessageNotices::Notice> MessageNotices::Due(Clock::time_point now) {
  std::vector<Notice> due;
  for (auto& [name, s] : senders_) {
    if (s.folded == 0 || now - s.since < kWindow) continue;
    due.push_back({"Reposa", std::to_string(s.folded) + " more from " + name});
    s = Sender{now};
  }
  return due;
}

std::optional<MessageNotices::Clock::time_point> MessageNotices::NextDue() const {
  std::optional<Clock::time_point> next;
  for (const auto& [name, s] : senders_)
    if (s.folded > 0 && (!next || s.since + kWindow < *next)) next = s.since + kWindow;
  return next;
}

void MessageNotices::Seen() {
  unread_ = 0;
  senders_.clear();
}

// Senders whose minute is over and who owe nothing make room.
void MessageNotices::Forget(Clock::time_point now) {
  std::erase_if(senders_, [now](const auto& entry) {
    return entry.second.folded == 0 && now - entry.second.since >= kWindow;
  });
}
