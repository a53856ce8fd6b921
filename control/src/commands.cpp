// Client commands: the line each sends, built from the renderings in
// arguments.h, one Render per command of KEZ_TOCSOCK_COMMANDS. The methods
// themselves are generated at the end: each hands its line to SendCommand,
// which refuses a NUL byte and a line that does not fit one frame before
// anything is sent.

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

using ChatTable = std::array<ChatEntry, kChatTableSize>;

// A given ID wins; otherwise the lowest entry whose room name is exactly equal.
std::optional<int32_t> ResolveChatID(const ChatTable& table, std::string_view name, int32_t id) {
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

// Chat rooms. LeaveChat, SendChat and InviteUsers name the room by ID on the
// wire, resolved from the room name when no ID is given. An unknown room
// sends nothing, but its line (with ID 0, no longer than any real ID) is
// still checked.

// The word, the room's ID (0, and not to be sent, for an unknown room), then
// the other arguments. Appended one by one: GCC 12 at -O3 wrongly warns
// (-Wrestrict) about " " put in front of a temporary string here.
template <class... Rest>
CommandLine InRoom(const ChatTable& chats, std::string_view name, int32_t id, std::string_view word,
                   const Rest&... rest) {
  const auto chat = ResolveChatID(chats, name, id);
  std::string line;
  line.reserve(word.size() + 13 + (0 + ... + (1 + rest.size())));  // 13: a quoted Int32
  line += word;
  line += QuotedNumber(chat.value_or(0));
  ((line += ' ', line += rest), ...);
  return {std::move(line), chat.has_value()};
}

CommandLine Render(const command::JoinChat& c, const ChatTable&) {
  return {"toc_chat_join " + QuotedNumber(c.intExchange) + " " +
          QuotedText(wire::TrimSpaces(c.strRoomName))};
}
CommandLine Render(const command::LeaveChat& c, const ChatTable& chats) {
  return InRoom(chats, c.strChatName, c.lngChatID, "toc_chat_leave ");
}
CommandLine Render(const command::SendChat& c, const ChatTable& chats) {
  return InRoom(chats, c.strChatName, c.lngChatID, "toc_chat_send ", QuotedText(c.strMessage));
}
CommandLine Render(const command::InviteUsers& c, const ChatTable& chats) {
  return InRoom(chats, c.strChatName, c.lngChatID, "toc_chat_invite ",
                QuotedText(c.strInviteMessage), QuotedName(c.strUsers));
}
CommandLine Render(const command::AcceptChatInvite& c, const ChatTable&) {
  return {"toc_chat_accept " + QuotedNumber(c.lngChatID)};
}

// Messages, profile and presence.

CommandLine Render(const command::SendIM& c, const ChatTable&) {
  return {"toc_send_im " + QuotedName(c.strUserName) + " " + QuotedText(c.strMessage) +
          (c.AutoResponse ? " auto" : "")};
}
CommandLine Render(const command::GetProfile& c, const ChatTable&) {
  return {"toc_get_info " + QuotedName(c.strUserName)};
}
CommandLine Render(const command::GetStatus& c, const ChatTable&) {
  return {"toc_get_status " + QuotedName(c.strUserName)};
}
CommandLine Render(const command::SetProfile& c, const ChatTable&) {
  return {"toc_set_info " + QuotedText(c.strProfile)};
}
CommandLine Render(const command::SetAwayMessage& c, const ChatTable&) {
  return {"toc_set_away " + QuotedText(c.strAwayMessage)};
}
CommandLine Render(const command::SetIdleTime& c, const ChatTable&) {
  return {"toc_set_idle " + QuotedNumber(IdleSeconds(c.lngMinutes))};
}
CommandLine Render(const command::WarnUser& c, const ChatTable&) {
  return {"toc_evil " + QuotedName(c.strUserName) + (c.blnAnonymous ? " \"anon\"" : " \"norm\"")};
}
CommandLine Render(const command::SetCapability& c, const ChatTable&) {
  return {"toc_set_caps " + QuotedText(c.strCapUUID)};
}

// Account. Both passwords go in clear, escaped like any text; the password
// kept for sign-on is not touched.

CommandLine Render(const command::ChangePassword& c, const ChatTable&) {
  return {"toc_change_passwd " + QuotedText(c.strOldPassword) + " " + QuotedText(c.strNewPassword)};
}
CommandLine Render(const command::FormatUserName& c, const ChatTable&) {
  return {"toc_format_nickname " + QuotedText(c.strFormatted)};
}

// The server-side buddy list. Buddy names keep their capitals and spaces.

CommandLine Render(const command::AddBuddy& c, const ChatTable&) {
  return {"toc2_new_buddies " + QuotedBuddyEntry(c.strGroup, c.strBuddy)};
}
CommandLine Render(const command::RemoveBuddy& c, const ChatTable&) {
  return {"toc2_remove_buddy " + QuotedText(c.strBuddy) + " " + QuotedText(c.strGroup)};
}
CommandLine Render(const command::AddGroup& c, const ChatTable&) {
  return {"toc2_new_group " + QuotedText(c.strGroup)};
}
CommandLine Render(const command::RemoveGroup& c, const ChatTable&) {
  return {"toc2_del_group " + QuotedText(c.strGroup)};
}

// Block and permit lists, and which of them the server applies.

CommandLine Render(const command::BlockUser& c, const ChatTable&) {
  return {"toc2_add_deny " + QuotedName(c.strUserName)};
}
CommandLine Render(const command::UnblockUser& c, const ChatTable&) {
  return {"toc2_remove_deny " + QuotedName(c.strUserName)};
}
CommandLine Render(const command::AddPrivateUser& c, const ChatTable&) {
  return {"toc2_add_permit " + QuotedName(c.strUserName)};
}
CommandLine Render(const command::RemovePrivateUser& c, const ChatTable&) {
  return {"toc2_remove_permit " + QuotedName(c.strUserName)};
}
// The one number sent without quotes.
CommandLine Render(const command::SetPrivacy& c, const ChatTable&) {
  return {"toc2_set_pdmode " + std::to_string(c.intMode)};
}

}  // namespace

// Each method gathers its arguments into its command's struct and sends the
// line that struct renders.
#define KEZ_DEFINE_COMMAND(Name, doc, ...)                                                     \
  void SessionCore::Name(KEZ_EACH(KEZ_PARAM_DEFINE, KEZ_COMMA, __VA_ARGS__)) {                 \
    impl_->SendCommand(Render(command::Name{KEZ_EACH(KEZ_PARAM_NAME, KEZ_COMMA, __VA_ARGS__)}, \
                              impl_->chatTable_));                                             \
  }
KEZ_TOCSOCK_COMMANDS(KEZ_DEFINE_COMMAND)
#undef KEZ_DEFINE_COMMAND

}  // namespace kez
