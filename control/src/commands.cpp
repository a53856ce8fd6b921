// Client commands: one line each, built from the renderings in arguments.h
// and sent as one data frame. SendCommand refuses a NUL byte and a line that
// does not fit one frame before anything is sent.

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "arguments.h"
#include "core.h"
#include "wire.h"

namespace kez {

namespace {

using wire::QuotedBuddyEntry;
using wire::QuotedName;
using wire::QuotedNumber;
using wire::QuotedText;

// A given ID wins; otherwise the lowest entry whose room name is exactly equal.
std::optional<int32_t> ResolveChatID(const std::array<ChatEntry, kChatTableSize>& table,
                                     std::string_view name, int32_t id) {
  if (id != 0) return id;
  for (const ChatEntry& entry : table)
    if (entry.RoomName == name) return entry.ChatID;
  return std::nullopt;
}

int32_t IdleSeconds(int32_t minutes) {
  const int64_t seconds = int64_t{minutes} * 60;
  if (seconds > std::numeric_limits<int32_t>::max() ||
      seconds < std::numeric_limits<int32_t>::min())
    throw std::overflow_error("idle time in seconds does not fit 32 bits");
  return static_cast<int32_t>(seconds);
}

}  // namespace

// Chat rooms. LeaveChat, SendChat and InviteUsers name the room by ID on the
// wire, resolved from the room name when no ID is given. An unknown room
// sends nothing, but a line that could never be sent still fails, so whether
// an argument is refused does not depend on the chat table (the line then
// carries ID 0, which is no longer than any real ID).

void SessionCore::JoinChat(std::string_view strRoomName, int16_t intExchange) {
  impl_->SendCommand("toc_chat_join " + QuotedNumber(intExchange) + " " +
                     QuotedText(wire::TrimSpaces(strRoomName)));
}

void SessionCore::LeaveChat(std::string_view strChatName, int32_t lngChatID) {
  const auto chat = ResolveChatID(impl_->chatTable_, strChatName, lngChatID);
  const std::string line = "toc_chat_leave " + QuotedNumber(chat.value_or(0));
  chat ? impl_->SendCommand(line) : Impl::CheckCommandLine(line);
}

void SessionCore::SendChat(std::string_view strChatName, std::string_view strMessage,
                           int32_t lngChatID) {
  const auto chat = ResolveChatID(impl_->chatTable_, strChatName, lngChatID);
  const std::string line =
      "toc_chat_send " + QuotedNumber(chat.value_or(0)) + " " + QuotedText(strMessage);
  chat ? impl_->SendCommand(line) : Impl::CheckCommandLine(line);
}

void SessionCore::InviteUsers(std::string_view strChatName, std::string_view strInviteMessage,
                              std::string_view strUsers, int32_t lngChatID) {
  const auto chat = ResolveChatID(impl_->chatTable_, strChatName, lngChatID);
  const std::string line = "toc_chat_invite " + QuotedNumber(chat.value_or(0)) + " " +
                           QuotedText(strInviteMessage) + " " + QuotedName(strUsers);
  chat ? impl_->SendCommand(line) : Impl::CheckCommandLine(line);
}

void SessionCore::AcceptChatInvite(int32_t lngChatID) {
  impl_->SendCommand("toc_chat_accept " + QuotedNumber(lngChatID));
}

// Messages, profile and presence.

void SessionCore::SendIM(std::string_view strUserName, std::string_view strMessage,
                         bool AutoResponse) {
  impl_->SendCommand("toc_send_im " + QuotedName(strUserName) + " " + QuotedText(strMessage) +
                     (AutoResponse ? " auto" : ""));
}

void SessionCore::GetProfile(std::string_view strUserName) {
  impl_->SendCommand("toc_get_info " + QuotedName(strUserName));
}

void SessionCore::GetStatus(std::string_view strUserName) {
  impl_->SendCommand("toc_get_status " + QuotedName(strUserName));
}

void SessionCore::SetProfile(std::string_view strProfile) {
  impl_->SendCommand("toc_set_info " + QuotedText(strProfile));
}

void SessionCore::SetAwayMessage(std::string_view strAwayMessage) {
  impl_->SendCommand("toc_set_away " + QuotedText(strAwayMessage));
}

void SessionCore::SetIdleTime(int32_t lngMinutes) {
  impl_->SendCommand("toc_set_idle " + QuotedNumber(IdleSeconds(lngMinutes)));
}

void SessionCore::WarnUser(std::string_view strUserName, bool blnAnonymous) {
  impl_->SendCommand("toc_evil " + QuotedName(strUserName) +
                     (blnAnonymous ? " \"anon\"" : " \"norm\""));
}

void SessionCore::SetCapability(std::string_view strCapUUID) {
  impl_->SendCommand("toc_set_caps " + QuotedText(strCapUUID));
}

// Account. Both passwords go in clear, escaped like any text; the password
// kept for sign-on is not touched.

void SessionCore::ChangePassword(std::string_view strOldPassword, std::string_view strNewPassword) {
  impl_->SendCommand("toc_change_passwd " + QuotedText(strOldPassword) + " " +
                     QuotedText(strNewPassword));
}

void SessionCore::FormatUserName(std::string_view strFormatted) {
  impl_->SendCommand("toc_format_nickname " + QuotedText(strFormatted));
}

// The server-side buddy list. Buddy names keep their capitals and spaces.

void SessionCore::AddBuddy(std::string_view strGroup, std::string_view strBuddy) {
  impl_->SendCommand("toc2_new_buddies " + QuotedBuddyEntry(strGroup, strBuddy));
}

void SessionCore::RemoveBuddy(std::string_view strGroup, std::string_view strBuddy) {
  impl_->SendCommand("toc2_remove_buddy " + QuotedText(strBuddy) + " " + QuotedText(strGroup));
}

void SessionCore::AddGroup(std::string_view strGroup) {
  impl_->SendCommand("toc2_new_group " + QuotedText(strGroup));
}

void SessionCore::RemoveGroup(std::string_view strGroup) {
  impl_->SendCommand("toc2_del_group " + QuotedText(strGroup));
}

// Block and permit lists, and which of them the server applies.

void SessionCore::BlockUser(std::string_view strUserName) {
  impl_->SendCommand("toc2_add_deny " + QuotedName(strUserName));
}

void SessionCore::UnblockUser(std::string_view strUserName) {
  impl_->SendCommand("toc2_remove_deny " + QuotedName(strUserName));
}

void SessionCore::AddPrivateUser(std::string_view strUserName) {
  impl_->SendCommand("toc2_add_permit " + QuotedName(strUserName));
}

void SessionCore::RemovePrivateUser(std::string_view strUserName) {
  impl_->SendCommand("toc2_remove_permit " + QuotedName(strUserName));
}

// The one number sent without quotes.
void SessionCore::SetPrivacy(int16_t intMode) {
  impl_->SendCommand("toc2_set_pdmode " + std::to_string(intMode));
}

}  // namespace kez
