// Chat rooms. The server names rooms by chat ID; the chat table pairs each ID
// with the room name of its CHAT_JOIN so hosts and commands can use names.
// Only CHAT_JOIN and CHAT_LEFT change the table.

#include <algorithm>
#include <string>

#include "core.h"
#include "wire.h"

namespace kez {

namespace {
constexpr std::string_view kNoChatName = "[No Chat Name Found for ID]";
}  // namespace

// CHAT_JOIN:<chat id>:<room name>
void SessionCore::Impl::HandleChatJoin(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 3);
  // A join the host would never hear of must not move LastChatID or the table.
  if (f.size() < 3) return;
  const auto id = wire::ToInt32(f[1]);
  if (!id) return;
  // A full table still announces the room; it just cannot be found by name.
  for (ChatEntry& entry : chatTable_) {
    if (entry.ChatID == 0) {
      entry = ChatEntry{*id, std::string(f[2])};
      break;
    }
  }
  lastChatID_ = *id;
  Raise([&](KezTOCSockEvents& e) { e.JoinedChat(std::string(f[2]), lastChatID_); });
}

// CHAT_UPDATE_BUDDY:<chat id>:<"T" arrived, else left>:<name>[:<name>...]
void SessionCore::Impl::HandleChatUpdateBuddy(std::string_view payload) {
  const auto f = wire::SplitFields(payload, wire::kNoLimit);
  if (f.size() < 2) return;
  const auto id = wire::ToInt32(f[1]);
  if (!id) return;
  const bool inside = f.size() > 2 && f[2] == "T";
  // Arrivals name every user; a departure reports its first name only.
  const std::size_t end = inside ? f.size() : std::min<std::size_t>(f.size(), 4);
  const uint64_t logins = logins_;
  for (std::size_t i = 3; i < end; ++i) {
    if (!Raise([&](KezTOCSockEvents& e) { e.ChatUserUpdate(std::string(f[i]), inside, *id); }))
      return;
    if (logins_ != logins) return;  // the rest belongs to the connection Login ended
  }
}

// CHAT_IN_ENC:<chat id>:<sender>:<3 unused>:<message>
void SessionCore::Impl::HandleChatInEnc(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 7);
  if (f.size() < 7) return;
  const auto id = wire::ToInt32(f[1]);
  if (!id) return;
  Raise([&](KezTOCSockEvents& e) { e.ChatMessage(*id, std::string(f[2]), std::string(f[6])); });
}

// CHAT_LEFT:<chat id>
void SessionCore::Impl::HandleChatLeft(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 2);
  if (f.size() < 2) return;
  const auto id = wire::ToInt32(f[1]);
  if (!id) return;
  // Only the first entry: a room joined twice stays in the table once.
  for (ChatEntry& entry : chatTable_) {
    if (entry.ChatID == *id) {
      entry = ChatEntry{};
      break;
    }
  }
  Raise([&](KezTOCSockEvents& e) { e.LeftChat(*id); });
}

// CHAT_INVITE:<room name>:<chat id>:<from>:<invitation text>
void SessionCore::Impl::HandleChatInvite(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 5);
  if (f.size() < 5) return;
  const auto id = wire::ToInt32(f[2]);
  if (!id) return;
  Raise([&](KezTOCSockEvents& e) {
    e.ChatInvite(std::string(f[1]), *id, std::string(f[3]), std::string(f[4]));
  });
}

std::string SessionCore::GetChatName(int32_t lngChatID) const {
  // Free entries hold ID 0 and an empty name, so ID 0 finds "" while any entry is free.
  for (const ChatEntry& entry : impl_->chatTable_)
    if (entry.ChatID == lngChatID) return entry.RoomName;
  return std::string(kNoChatName);
}

}  // namespace kez
