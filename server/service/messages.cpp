#include "service/messages.h"

namespace reposa::server::msg {

namespace {

std::string Join(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view p : parts) size += p.size() + 1;
  std::string out;
  out.reserve(size);
  bool first = true;
  for (std::string_view p : parts) {
    if (!first) out.push_back(':');
    out.append(p);
    first = false;
  }
  return out;
}

std::string_view Flag(bool value) {
  return value ? "T" : "F";
}

}  // namespace

std::string SignOn() {
  return "SIGN_ON:TOC2.0";
}

std::string Nick(std::string_view display) {
  return Join({"NICK", display});
}

std::string UpdateBuddy(std::string_view name, bool online, int warning, std::int64_t signOnTime,
                        std::int64_t idleMinutes, std::string_view userClass) {
  return Join({"UPDATE_BUDDY2", name, Flag(online), std::to_string(warning),
               std::to_string(signOnTime), std::to_string(idleMinutes), userClass});
}

std::string BuddyCaps(std::string_view name, std::string_view caps) {
  return Join({"BUDDY_CAPS2", name, caps});
}

std::string ImIn(std::string_view from, bool autoResponse, std::string_view userClass,
                 std::string_view message) {
  return Join(
      {"IM_IN_ENC2", from, Flag(autoResponse), "F", "F", userClass, "F", "F", "F", message});
}

std::string ChatJoin(std::int32_t id, std::string_view room) {
  return Join({"CHAT_JOIN", std::to_string(id), room});
}

std::string ChatUpdateBuddy(std::int32_t id, bool inside, const std::vector<std::string>& names) {
  std::string out = Join({"CHAT_UPDATE_BUDDY", std::to_string(id), Flag(inside)});
  for (const std::string& name : names) out.append(":").append(name);
  return out;
}

std::string ChatIn(std::int32_t id, std::string_view sender, std::string_view message) {
  return Join({"CHAT_IN_ENC", std::to_string(id), sender, "F", "", "", message});
}

std::string ChatLeft(std::int32_t id) {
  return Join({"CHAT_LEFT", std::to_string(id)});
}

std::string ChatInvite(std::string_view room, std::int32_t id, std::string_view from,
                       std::string_view message) {
  return Join({"CHAT_INVITE", room, std::to_string(id), from, message});
}

std::string BuddyInserted(std::string_view alias, std::string_view buddy, std::string_view group) {
  return Join({"INSERTED2", "b", alias, buddy, group});
}

std::string BuddyDeleted(std::string_view buddy, std::string_view group) {
  return Join({"DELETED2", "b", buddy, group});
}

std::string Inserted(char kind, std::string_view name) {
  return Join({"INSERTED2", std::string_view(&kind, 1), name});
}

std::string Deleted(char kind, std::string_view name) {
  return Join({"DELETED2", std::string_view(&kind, 1), name});
}

std::string GotoUrl(std::string_view window, std::string_view url) {
  return Join({"GOTO_URL", window, url});
}

std::string Eviled(int level, std::string_view from) {
  return Join({"EVILED", std::to_string(level), from});
}

std::string AdminNickStatus() {
  return "ADMIN_NICK_STATUS:0";
}
std::string AdminPasswdStatus() {
  return "ADMIN_PASSWD_STATUS:0";
}

std::string Error(int code) {
  return Join({"ERROR", std::to_string(code)});
}
std::string Error(int code, std::string_view argument) {
  return Join({"ERROR", std::to_string(code), argument});
}

}  // namespace reposa::server::msg
