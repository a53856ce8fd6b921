#pragma once

// Every message the server sends, built in one place. The wire shape of each
// is in the comment above it; fields are separated by ":", and the last field
// of a message may hold colons of its own.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace reposa::server::msg {

// SIGN_ON:TOC2.0
std::string SignOn();
// NICK:<display name>
std::string Nick(std::string_view display);
// UPDATE_BUDDY2:<name>:<T|F online>:<warning %>:<sign-on time>:<idle minutes>:<user class>
std::string UpdateBuddy(std::string_view name, bool online, int warning, std::int64_t signOnTime,
                        std::int64_t idleMinutes, std::string_view userClass);
// BUDDY_CAPS2:<name>:<capabilities>
std::string BuddyCaps(std::string_view name, std::string_view caps);
// IM_IN_ENC2:<from>:<T|F auto>:F:F:<user class>:F:F:F:<message>
std::string ImIn(std::string_view from, bool autoResponse, std::string_view userClass,
                 std::string_view message);
// CHAT_JOIN:<chat id>:<room>
std::string ChatJoin(std::int32_t id, std::string_view room);
// CHAT_UPDATE_BUDDY:<chat id>:<T|F inside>:<name>[:<name>...]
std::string ChatUpdateBuddy(std::int32_t id, bool inside, const std::vector<std::string>& names);
// CHAT_IN_ENC:<chat id>:<sender>:F:::<message>
std::string ChatIn(std::int32_t id, std::string_view sender, std::string_view message);
// CHAT_LEFT:<chat id>
std::string ChatLeft(std::int32_t id);
// CHAT_INVITE:<room>:<chat id>:<from>:<message>
std::string ChatInvite(std::string_view room, std::int32_t id, std::string_view from,
                       std::string_view message);
// INSERTED2:b:<alias>:<buddy>:<group>
std::string BuddyInserted(std::string_view alias, std::string_view buddy, std::string_view group);
// DELETED2:b:<buddy>:<group>
std::string BuddyDeleted(std::string_view buddy, std::string_view group);
// INSERTED2:<g|p|d>:<name> and DELETED2:<g|p|d>:<name>
std::string Inserted(char kind, std::string_view name);
std::string Deleted(char kind, std::string_view name);
// GOTO_URL:<window>:<url>
std::string GotoUrl(std::string_view window, std::string_view url);
// EVILED:<new warning %>:<from, empty when anonymous>
std::string Eviled(int level, std::string_view from);
// ADMIN_NICK_STATUS:0 and ADMIN_PASSWD_STATUS:0 (success)
std::string AdminNickStatus();
std::string AdminPasswdStatus();
// ERROR:<code> or ERROR:<code>:<argument>
std::string Error(int code);
std::string Error(int code, std::string_view argument);

// Error codes the server uses.
inline constexpr int kNotAvailable = 901;    // user offline, or hidden by privacy
inline constexpr int kWarningRefused = 902;  // warning not possible now
inline constexpr int kRateLimited = 903;     // a command dropped: over its rate
inline constexpr int kBadInput = 911;        // malformed or unknown command
inline constexpr int kChatJoinFailed = 951;  // with room and sub-code
inline constexpr int kBadAccount = 980;      // wrong screen name or password
inline constexpr int kTooSoon = 983;         // sign-on refused unchecked: try again later
inline constexpr int kNotStored = 999;       // the server could not store the change

}  // namespace reposa::server::msg
