// Presence, instant-message and list notifications: each message becomes at
// most one event. The handlers read fields only: none sends anything or
// touches the control's members. Each raises as its last step, with its
// arguments copied out first, so a host that destroys the control inside the
// event leaves nothing behind to run.

#include "core.h"
#include "wire.h"

namespace kez {

namespace {

// A flag means false only when it is exactly "F".
bool Flag(std::string_view field) {
  return field != "F";
}

std::string Text(std::string_view field) {
  return std::string(field);
}

// The list events that carry one name.
using OneNameEvent = void (KezTOCSockEvents::*)(const std::string&);

}  // namespace

// UPDATE_BUDDY2:<name>:<online T/F>:<warning>:<online time>:<idle time>:<class>:<rest>
void SessionCore::Impl::HandleUpdateBuddy2(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 8);
  if (f.size() < 7) return;  // the rest may be absent; the class may not
  const auto warning = wire::ToInt16(f[3]);
  const auto onlineTime = wire::ToInt32(f[4]);
  const auto idleTime = wire::ToInt32(f[5]);
  if (!warning || !onlineTime || !idleTime) return;
  const std::string name = Text(f[1]), userClass = Text(f[6]);
  const bool online = Flag(f[2]);
  Raise([&](KezTOCSockEvents& e) {
    e.BuddyUpdate(name, online, *warning, *onlineTime, *idleTime, userClass);
  });
}

// BUDDY_CAPS2:<name>:<capabilities, rest>
void SessionCore::Impl::HandleBuddyCaps2(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 3);
  if (f.size() < 3) return;
  const std::string name = Text(f[1]), caps = Text(f[2]);
  Raise([&](KezTOCSockEvents& e) { e.BuddyCapabilities(name, caps); });
}

// BART2:<name>:<bart, rest>
void SessionCore::Impl::HandleBart2(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 3);
  if (f.size() < 3) return;
  const std::string name = Text(f[1]), bart = Text(f[2]);
  Raise([&](KezTOCSockEvents& e) { e.BuddyBart(name, bart); });
}

// IM_IN_ENC2:<sender>:<auto T/F>:<2 unused>:<class>:<3 unused>:<message, rest>
void SessionCore::Impl::HandleImInEnc2(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 10);
  if (f.size() < 10) return;
  const std::string sender = Text(f[1]), userClass = Text(f[5]), message = Text(f[9]);
  const bool autoResponse = Flag(f[2]);
  Raise([&](KezTOCSockEvents& e) { e.InstantMessage(sender, message, autoResponse, userClass); });
}

// INSERTED2:b:<alias>:<name>:<group, rest>
// INSERTED2:p|d|g:<name or group, rest>
void SessionCore::Impl::HandleInserted2(std::string_view payload) {
  const auto head = wire::SplitFields(payload, 3);
  if (head.size() < 2) return;
  const std::string_view kind = head[1];
  if (kind == "b") {
    const auto f = wire::SplitFields(payload, 5);
    if (f.size() < 5) return;
    const std::string alias = Text(f[2]), name = Text(f[3]), group = Text(f[4]);
    Raise([&](KezTOCSockEvents& e) { e.BuddyAdded(group, name, alias); });
    return;
  }
  const OneNameEvent event = kind == "p"   ? &KezTOCSockEvents::PrivateBuddyAdded
                             : kind == "d" ? &KezTOCSockEvents::BuddyBlocked
                             : kind == "g" ? &KezTOCSockEvents::GroupAdded
                                           : nullptr;
  if (!event || head.size() < 3) return;
  const std::string entry = Text(head[2]);
  Raise([&](KezTOCSockEvents& e) { (e.*event)(entry); });
}

// UPDATED2:<anything>, recognised and ignored.
void SessionCore::Impl::HandleUpdated2(std::string_view) {}

// DELETED2:b:<name>:<group, rest>
// DELETED2:p:<name>[:<ignored>]
// DELETED2:d|g:<name or group, rest>
void SessionCore::Impl::HandleDeleted2(std::string_view payload) {
  const auto head = wire::SplitFields(payload, 3);
  if (head.size() < 2) return;
  const std::string_view kind = head[1];
  if (kind == "b" || kind == "p") {
    const auto f = wire::SplitFields(payload, 4);
    if (f.size() < (kind == "b" ? 4u : 3u)) return;
    const std::string name = Text(f[2]);
    if (kind == "b") {
      const std::string group = Text(f[3]);
      Raise([&](KezTOCSockEvents& e) { e.BuddyRemoved(group, name); });
    } else {
      Raise([&](KezTOCSockEvents& e) { e.PrivateBuddyRemoved(name); });
    }
    return;
  }
  const OneNameEvent event = kind == "d"   ? &KezTOCSockEvents::BuddyUnblocked
                             : kind == "g" ? &KezTOCSockEvents::GroupRemoved
                                           : nullptr;
  if (!event || head.size() < 3) return;
  const std::string entry = Text(head[2]);
  Raise([&](KezTOCSockEvents& e) { (e.*event)(entry); });
}

// GOTO_URL:<unused>:<url, rest>
void SessionCore::Impl::HandleGotoUrl(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 3);
  if (f.size() < 3) return;
  const std::string url = Text(f[2]);
  Raise([&](KezTOCSockEvents& e) { e.UserProfile(url); });
}

// EVILED:<new warning level>:<warning user, rest, may be empty>
void SessionCore::Impl::HandleEviled(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 3);
  if (f.size() < 3) return;
  const auto level = wire::ToInt16(f[1]);
  if (!level) return;
  // The level goes out as text, in its plain decimal form ("050" is "50").
  const std::string levelText = std::to_string(*level), from = Text(f[2]);
  Raise([&](KezTOCSockEvents& e) { e.Warned(levelText, from); });
}

// ADMIN_NICK_STATUS[:<status>]; the status is not read.
void SessionCore::Impl::HandleAdminNickStatus(std::string_view) {
  Raise([](KezTOCSockEvents& e) { e.ScreenNameFormatted(); });
}

// ADMIN_PASSWD_STATUS[:<status>]; the status is not read.
void SessionCore::Impl::HandleAdminPasswdStatus(std::string_view) {
  Raise([](KezTOCSockEvents& e) { e.PasswordChanged(); });
}

// RVOUS_PROPOSE:<name>:<uuid>:<cookie>:<unused>:<rendezvous ip>:<proposer ip>:<verified
// ip>:<port>[:...]
void SessionCore::Impl::HandleRvousPropose(std::string_view payload) {
  const auto f = wire::SplitFields(payload, wire::kNoLimit);
  if (f.size() < 9) return;
  const auto port = wire::ToInt32(f[8]);
  if (!port) return;
  const std::string name = Text(f[1]), uuid = Text(f[2]), cookie = Text(f[3]);
  const std::string rendezvousIP = Text(f[5]), proposerIP = Text(f[6]), verifiedIP = Text(f[7]);
  Raise([&](KezTOCSockEvents& e) {
    e.RendevousRequest(name, uuid, cookie, rendezvousIP, proposerIP, verifiedIP, *port);
  });
}

// CLIENT_EVENT2:<name>:<typing status, rest>
void SessionCore::Impl::HandleClientEvent2(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 3);
  if (f.size() < 3) return;
  const auto status = wire::ToInt16(f[2]);
  if (!status) return;
  const std::string name = Text(f[1]);
  Raise([&](KezTOCSockEvents& e) { e.TypingStatus(name, *status); });
}

}  // namespace kez
