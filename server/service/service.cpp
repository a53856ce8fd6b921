#include "service/service.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "service/messages.h"
#include "service/names.h"
#include "service/profile_page.h"

namespace reposa::server {

namespace {

// Strict decimal within [low, high].
std::optional<std::int64_t> Number(std::string_view text, std::int64_t low, std::int64_t high) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<std::int32_t> ChatId(std::string_view text) {
  auto id = Number(text, 1, INT32_MAX);
  if (!id) return std::nullopt;
  return static_cast<std::int32_t>(*id);
}

}  // namespace

// One row per command word: how many arguments it takes and who answers it.
const Service::CommandRow Service::kCommands[] = {
    {"toc_init_done", 0, 0, &Service::InitDone},
    {"toc_chat_join", 2, 2, &Service::ChatJoin},
    {"toc_chat_leave", 1, 1, &Service::ChatLeave},
    {"toc_chat_send", 2, 2, &Service::ChatSend},
    {"toc_chat_invite", 3, SIZE_MAX, &Service::ChatInvite},
    {"toc_chat_accept", 1, 1, &Service::ChatAccept},
    {"toc_send_im", 2, 3, &Service::SendIm},
    {"toc_get_info", 1, 1, &Service::GetInfo},
    {"toc_set_info", 1, 1, &Service::SetInfo},
    {"toc_set_away", 0, 1, &Service::SetAway},
    {"toc_get_status", 1, 1, &Service::GetStatus},
    {"toc_set_idle", 1, 1, &Service::SetIdle},
    {"toc_evil", 2, 2, &Service::Evil},
    {"toc_change_passwd", 2, 2, &Service::ChangePassword},
    {"toc_format_nickname", 1, 1, &Service::FormatNickname},
    {"toc_set_caps", 0, SIZE_MAX, &Service::SetCaps},
    {"toc2_new_buddies", 1, 1, &Service::NewBuddies},
    {"toc2_remove_buddy", 2, SIZE_MAX, &Service::RemoveBuddy},
    {"toc2_new_group", 1, 1, &Service::NewGroup},
    {"toc2_del_group", 1, 1, &Service::DelGroup},
    {"toc2_add_deny", 1, SIZE_MAX, &Service::AddDeny},
    {"toc2_remove_deny", 1, SIZE_MAX, &Service::RemoveDeny},
    {"toc2_add_permit", 1, SIZE_MAX, &Service::AddPermit},
    {"toc2_remove_permit", 1, SIZE_MAX, &Service::RemovePermit},
    {"toc2_set_pdmode", 1, 1, &Service::SetPdMode},
};

Service::Service(Directory& directory, Outbox& outbox, Presence::Clock now, const Limits& limits,
                 Log log)
    : limits_(limits),
      directory_(directory),
      outbox_(outbox),
      now_(now),
      log_(std::move(log)),
      presence_(outbox, now, limits_),
      rooms_(outbox, limits_),
      penalties_(now, limits_) {
  if (!log_) log_ = [](std::string_view) {};
}

void Service::UseStore(ChangeLog* changes, PasswordWorker* worker) {
  changes_ = changes;
  worker_ = worker;
}

SignOnResult Service::SignOn(SessionId session, std::string_view typedName,
                             std::string_view password, std::size_t maxPayload) {
  const bool wellFormed = IsValidScreenName(typedName, limits_);
  Account* account = wellFormed ? directory_.Lookup(typedName) : nullptr;
  auto refuse = [this, session, known = wellFormed && account,
                 name = std::string(TrimSpaces(typedName))] {
    // Only the name of an existing account is quoted: anything else could be
    // a password typed into the wrong box, or bytes meant to garble the log.
    log_("sign-on refused for " +
         (known ? "\"" + name + "\"" : std::string("an unknown or malformed screen name")) +
         " (session " + std::to_string(session) + ")");
  };
  if (!account) {
    refuse();
    return kSignOnRefused;
  }
  if (account->passwordHash && !worker_) {
    if (!VerifyPassword(*account->passwordHash, password)) {
      refuse();
      return kSignOnRefused;
    }
  } else if (account->passwordHash) {
    // The check takes milliseconds on purpose: it runs on the worker, and
    // the session waits for its verdict without holding up the loop.
    awaiting_.insert(session);
    std::weak_ptr<bool> alive = alive_;
    worker_->Submit(
        PasswordWorker::Job{*account->passwordHash, std::string(password), {}},
        [this, alive, session, account, maxPayload, refuse](const PasswordWorker::Result& result) {
          if (alive.expired() || !awaiting_.erase(session)) return;  // gone meanwhile
          if (result.matches) {
            Admit(session, *account, maxPayload);
          } else {
            refuse();
          }
          outbox_.SignOnVerdict(session, result.matches);
        });
    return kSignOnPending;
  }
  Admit(session, *account, maxPayload);
  return kSignOnAccepted;
}

void Service::Admit(SessionId session, Account& account, std::size_t maxPayload) {
  penalties_.Succeeded(account.name);
  if (auto replaced = presence_.Attach(session, account)) {
    rooms_.LeaveAll(*replaced);
    outbox_.EndSession(*replaced);
    log_(account.display + " signed on again; session " + std::to_string(*replaced) + " ended");
  }
  log_(account.display + " signed on (session " + std::to_string(session) + ")");
  outbox_.Deliver(session, msg::SignOn());
  outbox_.Deliver(session, msg::Nick(account.display));
  for (const std::string& m : Config2Messages(account.lists.ConfigText(), maxPayload))
    outbox_.Deliver(session, m);
}

void Service::Reverted(const Account& account) {
  for (OnlineUser* user : presence_.All())
    if (user->account == &account) presence_.ListsChanged(user->session);
}

void Service::Stored(OnlineUser& me, std::string_view ack, bool password) {
  if (changes_) changes_->Changed(*me.account, password);
  outbox_.Acknowledge(me.session, command_, ack);
}

std::chrono::milliseconds Service::RefusalDelay(std::string_view typedName) {
  if (IsValidScreenName(typedName, limits_)) {
    const std::string name = NormalizeName(typedName);
    if (directory_.Find(name)) return penalties_.Failed(name);
  }
  return limits_.refusalDelay;  // as for a first failure: unknown names look no different
}

void Service::Ended(SessionId session) {
  awaiting_.erase(session);
  rooms_.LeaveAll(session);
  if (OnlineUser* user = presence_.BySession(session))
    log_(user->display() + " signed off (session " + std::to_string(session) + ")");
  presence_.Detach(session);
}

void Service::Command(SessionId session, const CommandLine& line) {
  OnlineUser* me = presence_.BySession(session);
  if (!me) return;  // replaced by a newer sign-on; its connection is closing
  ++command_;
  for (const CommandRow& row : kCommands) {
    if (row.word != line.word) continue;
    if (line.args.size() < row.minArgs || line.args.size() > row.maxArgs ||
        line.args.size() > limits_.maxArguments)
      break;
    (this->*row.handler)(*me, line.args);
    return;
  }
  BadInput(*me);
}

void Service::Send(const OnlineUser& to, std::string_view message) {
  outbox_.Deliver(to.session, message);
}

void Service::BadInput(const OnlineUser& me) {
  Send(me, msg::Error(msg::kBadInput));
}

bool Service::WithinRate(OnlineUser& me, RateLimit& rate, std::int64_t n) {
  if (rate.Take(now_(), n)) return true;
  Send(me, msg::Error(msg::kRateLimited));
  return false;
}

OnlineUser* Service::Reachable(const OnlineUser& me, std::string_view name) {
  OnlineUser* other = presence_.Online(NormalizeName(name));
  if (!other || !Presence::Visible(*other, me.name())) return nullptr;
  // Someone one has blocked is out of reach too.
  if (!me.account->lists.Permits(other->name())) return nullptr;
  return other;
}

void Service::InitDone(OnlineUser& me, const Args&) {
  presence_.GoOnline(me.session);
}

// toc_chat_join <exchange> <room>
void Service::ChatJoin(OnlineUser& me, const Args& args) {
  const auto exchange = Number(args[0], 0, 65535);
  const std::string_view room = TrimSpaces(args[1]);
  if (!exchange || !IsValidRoomName(room, limits_)) return BadInput(me);
  AnswerJoin(me, rooms_.JoinByName(me.session, me.display(), static_cast<int>(*exchange), room),
             room);
}

void Service::AnswerJoin(OnlineUser& me, ChatRooms::Join result, std::string_view room) {
  // 24: the room is full; 48: this session is in too many rooms.
  if (result == ChatRooms::Join::Full)
    Send(me, msg::Error(msg::kChatJoinFailed, std::string(room) + ":24"));
  if (result == ChatRooms::Join::TooMany)
    Send(me, msg::Error(msg::kChatJoinFailed, std::string(room) + ":48"));
}

// toc_chat_leave <chat id>
void Service::ChatLeave(OnlineUser& me, const Args& args) {
  const auto id = ChatId(args[0]);
  if (!id) return BadInput(me);
  rooms_.Leave(me.session, *id);
}

// toc_chat_send <chat id> <message>
void Service::ChatSend(OnlineUser& me, const Args& args) {
  const auto id = ChatId(args[0]);
  if (!id || !rooms_.Send(me.session, *id, args[1])) BadInput(me);
}

// toc_chat_invite <chat id> <message> <name>[,<name>...] [<name>...]
void Service::ChatInvite(OnlineUser& me, const Args& args) {
  const auto id = ChatId(args[0]);
  const ChatRoom* room = id ? rooms_.Find(*id) : nullptr;
  if (!room || !room->Has(me.session)) return BadInput(me);
  std::vector<std::string> invitees;
  for (std::size_t i = 2; i < args.size(); ++i) {
    std::string_view names = args[i];
    while (!names.empty()) {
      const std::size_t comma = names.find(',');
      std::string name = NormalizeName(names.substr(0, comma));
      names.remove_prefix(comma == std::string_view::npos ? names.size() : comma + 1);
      if (name.empty() || std::find(invitees.begin(), invitees.end(), name) != invitees.end())
        continue;
      if (invitees.size() == limits_.maxInvitees) return BadInput(me);
      invitees.push_back(std::move(name));
    }
  }
  if (!WithinRate(me, me.inviteRate, static_cast<std::int64_t>(invitees.size()))) return;
  const std::string invite = msg::ChatInvite(room->name, room->id, me.display(), args[1]);
  for (const std::string& name : invitees) {
    if (OnlineUser* other = Reachable(me, name)) {
      other->Invite(room->id, limits_.maxInvitations);
      Send(*other, invite);
    } else {
      Send(me, msg::Error(msg::kNotAvailable, name));
    }
  }
}

// toc_chat_accept <chat id>
void Service::ChatAccept(OnlineUser& me, const Args& args) {
  const auto id = ChatId(args[0]);
  ChatRooms::Join result{};
  // Only a room this session was invited to: a chat ID alone is no key.
  if (!id || !me.invitations.erase(*id) || !rooms_.JoinById(me.session, me.display(), *id, result))
    return BadInput(me);
  AnswerJoin(me, result, rooms_.Find(*id)->name);
}

// toc_send_im <name> <message> [auto]
void Service::SendIm(OnlineUser& me, const Args& args) {
  if (args.size() == 3 && args[2] != "auto") return BadInput(me);
  OnlineUser* other = Reachable(me, args[0]);
  if (!other) return Send(me, msg::Error(msg::kNotAvailable, NormalizeName(args[0])));
  Send(*other, msg::ImIn(me.display(), args.size() == 3, me.UserClass(), args[1]));
  other->imFrom.insert(me.name());
}

// toc_get_info <name>
void Service::GetInfo(OnlineUser& me, const Args& args) {
  OnlineUser* other = Reachable(me, args[0]);
  if (!other) return Send(me, msg::Error(msg::kNotAvailable, NormalizeName(args[0])));
  Send(me, msg::GotoUrl("profile", ProfileUrl(*other, now_())));
}

// toc_set_info <profile>
void Service::SetInfo(OnlineUser& me, const Args& args) {
  me.profile = args[0];
}

// toc_set_away [<message>]: none or empty is back
void Service::SetAway(OnlineUser& me, const Args& args) {
  if (!WithinRate(me, me.presenceRate)) return;
  const bool wasAway = !me.away.empty();
  me.away = args.empty() ? std::string() : args[0];
  if (wasAway != !me.away.empty()) presence_.Announce(me);
}

// toc_get_status <name>
void Service::GetStatus(OnlineUser& me, const Args& args) {
  OnlineUser* other = Reachable(me, args[0]);
  if (!other) return Send(me, msg::Error(msg::kNotAvailable, NormalizeName(args[0])));
  presence_.SendState(*other, me.session);
}

// toc_set_idle <seconds>
void Service::SetIdle(OnlineUser& me, const Args& args) {
  const auto seconds = Number(args[0], 0, INT32_MAX);
  if (!seconds) return BadInput(me);
  if (!WithinRate(me, me.presenceRate)) return;
  me.idleSince = *seconds ? now_() - *seconds : 0;
  presence_.Announce(me);
}

// toc_evil <name> <anon|norm>: only someone who sent one an instant message
// may be warned, once for each message.
void Service::Evil(OnlineUser& me, const Args& args) {
  if (args[1] != "anon" && args[1] != "norm") return BadInput(me);
  const bool anonymous = args[1] == "anon";
  OnlineUser* other = Reachable(me, args[0]);
  if (!other || !me.imFrom.count(other->name()))
    return Send(me, msg::Error(msg::kWarningRefused, NormalizeName(args[0])));
  me.imFrom.erase(other->name());
  other->warning = std::min(100, other->warning + (anonymous ? 3 : 10));
  Send(*other, msg::Eviled(other->warning, anonymous ? std::string() : me.display()));
  presence_.Announce(*other);
}

// toc_change_passwd <old> <new>: only for a registered account. The check of
// the old password and the new hash are made on the worker.
void Service::ChangePassword(OnlineUser& me, const Args& args) {
  Account& account = *me.account;
  // On an open server anyone may sign on as anyone: a password set there
  // would lock the name's owner out.
  if (directory_.open() || !account.passwordHash) return Send(me, msg::Error(msg::kBadAccount));
  if (!IsValidPassword(args[1], limits_)) return BadInput(me);
  if (!worker_) {
    const bool matches = VerifyPassword(*account.passwordHash, args[0]);
    return PasswordChecked(me, matches, matches ? HashPassword(args[1], limits_) : std::string());
  }
  std::weak_ptr<bool> alive = alive_;
  const SessionId session = me.session;
  worker_->Submit(PasswordWorker::Job{*account.passwordHash, args[0], args[1]},
                  [this, alive, session](const PasswordWorker::Result& result) {
                    if (alive.expired()) return;
                    OnlineUser* user = presence_.BySession(session);
                    if (!user) return;  // signed off meanwhile
                    ++command_;
                    PasswordChecked(*user, result.matches, result.newHash);
                  });
}

void Service::PasswordChecked(OnlineUser& me, bool matches, const std::string& newHash) {
  Account& account = *me.account;
  if (!matches) {
    penalties_.Failed(account.name);
    if (++me.wrongPasswords >= limits_.maxWrongPasswords) {
      log_("session " + std::to_string(me.session) + " gave " + std::to_string(me.wrongPasswords) +
           " wrong passwords for " + account.display);
      return outbox_.EndSession(me.session, "repeated wrong passwords");
    }
    return Send(me, msg::Error(msg::kBadAccount));
  }
  if (newHash.empty()) return Send(me, msg::Error(msg::kNotStored));
  account.passwordHash = newHash;
  log_("password changed for " + account.display);
  Stored(me, msg::AdminPasswdStatus(), true);
}

// toc_format_nickname <name>: only spacing and letter case may change.
void Service::FormatNickname(OnlineUser& me, const Args& args) {
  const std::string_view formatted = TrimSpaces(args[0]);
  if (!IsValidScreenName(formatted, limits_) || NormalizeName(formatted) != me.name())
    return BadInput(me);
  if (!WithinRate(me, me.presenceRate)) return;
  me.account->display = std::string(formatted);
  rooms_.Rename(me.session, formatted);
  Stored(me, msg::AdminNickStatus());
  Send(me, msg::Nick(formatted));
  presence_.Announce(me);
}

// toc_set_caps <capability>[,<capability>...]
void Service::SetCaps(OnlineUser& me, const Args& args) {
  if (!WithinRate(me, me.presenceRate)) return;
  std::string caps;
  for (const std::string& a : args) {
    if (a.find('\n') != std::string::npos) return BadInput(me);
    if (!caps.empty() && !a.empty()) caps.push_back(',');
    caps += a;
  }
  me.caps = std::move(caps);
  presence_.AnnounceCaps(me);
}

namespace {

// One line of a toc2_new_buddies list.
struct BuddyItem {
  std::string group;
  std::string buddy;  // empty for a "g:" line
  std::string alias;
};

// The "g:<group>" and "b:<buddy>[:<alias>]" lines of a toc2_new_buddies
// list, in order; nullopt when a line is malformed or none is there.
std::optional<std::vector<BuddyItem>> ParseBuddyItems(std::string_view text, const Limits& limits) {
  if (text.starts_with('{') && text.ends_with('}')) text = text.substr(1, text.size() - 2);
  std::vector<BuddyItem> items;
  std::string group;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty()) continue;
    if (line.starts_with("g:")) {
      group = std::string(line.substr(2));
      if (!IsValidGroupName(group, limits)) return std::nullopt;
      items.push_back(BuddyItem{group, {}, {}});
    } else if (line.starts_with("b:") && !group.empty()) {
      std::string_view buddy = line.substr(2);
      std::string_view alias;
      if (const std::size_t colon = buddy.find(':'); colon != std::string_view::npos) {
        alias = buddy.substr(colon + 1);
        buddy = buddy.substr(0, colon);
      }
      buddy = TrimSpaces(buddy);
      if (!IsValidScreenName(buddy, limits)) return std::nullopt;
      items.push_back(BuddyItem{group, std::string(buddy), std::string(alias)});
    } else {
      return std::nullopt;
    }
  }
  if (items.empty()) return std::nullopt;
  return items;
}

}  // namespace

// toc2_new_buddies <"g:<group>\nb:<buddy>[:<alias>]\n...">
void Service::NewBuddies(OnlineUser& me, const Args& args) {
  const std::optional<std::vector<BuddyItem>> items = ParseBuddyItems(args[0], limits_);
  if (!items) return BadInput(me);
  const std::set<SessionId> before = presence_.Watchers(me);
  for (const BuddyItem& item : *items) {
    if (!AddBuddyItem(me, item.group, item.buddy, item.alias)) {
      BadInput(me);
      break;
    }
  }
  presence_.ListsChanged(me.session);
  presence_.Reconcile(me, before);
}

bool Service::AddBuddyItem(OnlineUser& me, const std::string& group, const std::string& buddy,
                           const std::string& alias) {
  StoredLists& lists = me.account->lists;
  if (buddy.empty()) {
    const auto change = lists.AddGroup(group, limits_);
    if (change == StoredLists::Change::Done) Stored(me, msg::Inserted('g', group));
    return change != StoredLists::Change::Full;
  }
  bool groupCreated = false;
  const auto change = lists.AddBuddy(group, buddy, groupCreated, limits_, alias);
  if (groupCreated) Stored(me, msg::Inserted('g', group));
  if (change == StoredLists::Change::Full) return false;
  if (change != StoredLists::Change::Done) return true;
  Stored(me, msg::BuddyInserted(alias, buddy, group));
  if (OnlineUser* other = presence_.Online(NormalizeName(buddy));
      other && Presence::Visible(*other, me.name()) && me.online)
    presence_.SendState(*other, me.session);
  return true;
}

// toc2_remove_buddy <buddy> [<buddy>...] <group>
void Service::RemoveBuddy(OnlineUser& me, const Args& args) {
  const std::string& group = args.back();
  const std::set<SessionId> before = presence_.Watchers(me);
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    const std::string_view buddy = TrimSpaces(args[i]);
    if (me.account->lists.RemoveBuddy(group, buddy)) Stored(me, msg::BuddyDeleted(buddy, group));
  }
  presence_.ListsChanged(me.session);
  presence_.Reconcile(me, before);
}

// toc2_new_group <group>
void Service::NewGroup(OnlineUser& me, const Args& args) {
  if (!IsValidGroupName(args[0], limits_)) return BadInput(me);
  const auto change = me.account->lists.AddGroup(args[0], limits_);
  if (change == StoredLists::Change::Full) return BadInput(me);
  if (change == StoredLists::Change::Done) Stored(me, msg::Inserted('g', args[0]));
}

// toc2_del_group <group>: its buddies go with it, each reported first.
void Service::DelGroup(OnlineUser& me, const Args& args) {
  StoredLists& lists = me.account->lists;
  Group* group = lists.FindGroup(args[0]);
  if (!group) return;
  const std::set<SessionId> before = presence_.Watchers(me);
  for (const std::string& buddy : group->buddies) Stored(me, msg::BuddyDeleted(buddy, group->name));
  Stored(me, msg::Deleted('g', group->name));
  lists.RemoveGroup(args[0]);
  presence_.ListsChanged(me.session);
  presence_.Reconcile(me, before);
}

void Service::AddDeny(OnlineUser& me, const Args& args) {
  EditNames(me, args, 'd', true);
}
void Service::RemoveDeny(OnlineUser& me, const Args& args) {
  EditNames(me, args, 'd', false);
}
void Service::AddPermit(OnlineUser& me, const Args& args) {
  EditNames(me, args, 'p', true);
}
void Service::RemovePermit(OnlineUser& me, const Args& args) {
  EditNames(me, args, 'p', false);
}

// toc2_add_deny, toc2_remove_deny, toc2_add_permit, toc2_remove_permit
// <name> [<name>...]
void Service::EditNames(OnlineUser& me, const Args& args, char kind, bool add) {
  for (const std::string& a : args)
    if (!IsValidScreenName(a, limits_)) return BadInput(me);
  StoredLists& lists = me.account->lists;
  std::vector<std::string>& list = kind == 'd' ? lists.blocked : lists.permitted;
  const std::set<SessionId> before = presence_.Watchers(me);
  for (const std::string& a : args) {
    const std::string name = NormalizeName(a);
    if (add) {
      const auto change = lists.AddName(list, name, limits_);
      if (change == StoredLists::Change::Full) {
        BadInput(me);
        break;
      }
      if (change == StoredLists::Change::Done) Stored(me, msg::Inserted(kind, name));
    } else if (lists.RemoveName(list, name)) {
      Stored(me, msg::Deleted(kind, name));
    }
  }
  presence_.Reconcile(me, before);
}

// toc2_set_pdmode <mode>, bare: 1 all may see me, 2 none, 3 only permitted,
// 4 all but blocked, 5 only my buddies.
void Service::SetPdMode(OnlineUser& me, const Args& args) {
  const auto mode = Number(args[0], kPermitAll, kPermitBuddies);
  if (!mode) return BadInput(me);
  const std::set<SessionId> before = presence_.Watchers(me);
  me.account->lists.privacyMode = static_cast<int>(*mode);
  Stored(me, {});
  presence_.Reconcile(me, before);
}

}  // namespace reposa::server
