// The commands that edit a user's stored lists: groups, buddies, the permit
// and block lists and the privacy mode. Each is within the name's rate of
// list changes (ERROR:903 past it), and each change is stored as the one row
// it adds or removes.

#include "service/service.h"

#include <optional>
#include <string>
#include <vector>

#include "metrics/metrics.h"
#include "service/command_arguments.h"
#include "service/messages.h"
#include "service/names.h"

namespace reposa::server {

namespace {

ListEdit GroupEdit(std::string_view group) {
  return ListEdit{'g', true, std::string(group), std::string(group), {}};
}

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
      if (!IsValidScreenName(buddy, limits) || !IsValidAlias(alias, limits)) return std::nullopt;
      items.push_back(BuddyItem{group, std::string(buddy), std::string(alias)});
    } else {
      return std::nullopt;
    }
  }
  if (items.empty()) return std::nullopt;
  return items;
}

// The configuration bytes the items could add at most.
std::size_t ItemBytes(const std::vector<BuddyItem>& items) {
  std::size_t bytes = 0;
  for (const BuddyItem& item : items)
    bytes +=
        item.buddy.empty() ? ConfigLineBytes(item.group) : ConfigLineBytes(item.buddy, item.alias);
  return bytes;
}

}  // namespace

// toc2_new_buddies <"g:<group>\nb:<buddy>[:<alias>]\n...">
void Service::NewBuddies(OnlineUser& me, const Args& args) {
  if (!WithinRate(me, RateBook::kLists)) return;
  const std::optional<std::vector<BuddyItem>> items = ParseBuddyItems(args[0], limits_);
  // A list that might not fit the stored configuration changes nothing.
  if (!items || !me.account->lists.Fits(ItemBytes(*items), limits_)) return BadInput(me);
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
    if (change == StoredLists::Change::Done)
      Stored(me, msg::Inserted('g', group), GroupEdit(group));
    if (change == StoredLists::Change::Full) metrics::Count(metrics::Counter::refusedListFull);
    return change != StoredLists::Change::Full;
  }
  bool groupCreated = false;
  const auto change = lists.AddBuddy(group, buddy, groupCreated, limits_, alias);
  if (groupCreated) Stored(me, msg::Inserted('g', group), GroupEdit(group));
  if (change == StoredLists::Change::Full)
    return metrics::Count(metrics::Counter::refusedListFull), false;
  if (change != StoredLists::Change::Done) return true;
  Stored(me, msg::BuddyInserted(alias, buddy, group), ListEdit{'b', true, group, buddy, alias});
  if (OnlineUser* other = presence_.Online(NormalizeName(buddy));
      other && Presence::Visible(*other, me.name()) && me.online)
    presence_.SendState(*other, me.session);
  return true;
}

// toc2_remove_buddy <buddy> [<buddy>...] <group>
void Service::RemoveBuddy(OnlineUser& me, const Args& args) {
  if (!WithinRate(me, RateBook::kLists)) return;
  const std::string& group = args.back();
  const std::set<SessionId> before = presence_.Watchers(me);
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    const std::string_view buddy = TrimSpaces(args[i]);
    if (me.account->lists.RemoveBuddy(group, buddy))
      Stored(me, msg::BuddyDeleted(buddy, group),
             ListEdit{'b', false, group, std::string(buddy), {}});
  }
  presence_.ListsChanged(me.session);
  presence_.Reconcile(me, before);
}

// toc2_new_group <group>
void Service::NewGroup(OnlineUser& me, const Args& args) {
  if (!WithinRate(me, RateBook::kLists)) return;
  if (!IsValidGroupName(args[0], limits_)) return BadInput(me);
  const auto change = me.account->lists.AddGroup(args[0], limits_);
  if (change == StoredLists::Change::Full)
    return metrics::Count(metrics::Counter::refusedListFull), BadInput(me);
  if (change == StoredLists::Change::Done)
    Stored(me, msg::Inserted('g', args[0]), GroupEdit(args[0]));
}

// toc2_del_group <group>: its buddies go with it, each reported first.
void Service::DelGroup(OnlineUser& me, const Args& args) {
  if (!WithinRate(me, RateBook::kLists)) return;
  StoredLists& lists = me.account->lists;
  Group* group = lists.FindGroup(args[0]);
  if (!group) return;
  const std::set<SessionId> before = presence_.Watchers(me);
  // One row change takes the group and its buddies; each is answered.
  for (const std::string& buddy : group->buddies)
    outbox_.Acknowledge(me.session, command_, msg::BuddyDeleted(buddy, group->name));
  Stored(me, msg::Deleted('g', group->name), ListEdit{'g', false, group->name, group->name, {}});
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
  if (!WithinRate(me, RateBook::kLists)) return;
  std::size_t bytes = 0;
  for (const std::string& a : args) {
    if (!IsValidScreenName(a, limits_)) return BadInput(me);
    bytes += ConfigLineBytes(NormalizeName(a));
  }
  StoredLists& lists = me.account->lists;
  if (add && !lists.Fits(bytes, limits_)) return BadInput(me);
  std::vector<std::string>& list = kind == 'd' ? lists.blocked : lists.permitted;
  const std::set<SessionId> before = presence_.Watchers(me);
  for (const std::string& a : args) {
    const std::string name = NormalizeName(a);
    if (add) {
      const auto change = lists.AddName(list, name, limits_);
      if (change == StoredLists::Change::Full) {
        metrics::Count(metrics::Counter::refusedListFull);
        BadInput(me);
        break;
      }
      if (change == StoredLists::Change::Done)
        Stored(me, msg::Inserted(kind, name), ListEdit{kind, true, {}, name, {}});
    } else if (lists.RemoveName(list, name)) {
      Stored(me, msg::Deleted(kind, name), ListEdit{kind, false, {}, name, {}});
    }
  }
  presence_.Reconcile(me, before);
}

// toc2_set_pdmode <mode>, bare: 1 all may see me, 2 none, 3 only permitted,
// 4 all but blocked, 5 only my buddies.
void Service::SetPdMode(OnlineUser& me, const Args& args) {
  if (!WithinRate(me, RateBook::kLists)) return;
  const auto mode = Number(args[0], kPermitAll, kPermitBuddies);
  if (!mode) return BadInput(me);
  const std::set<SessionId> before = presence_.Watchers(me);
  me.account->lists.privacyMode = static_cast<int>(*mode);
  Stored(me, {}, ListEdit{'m', true, {}, std::to_string(*mode), {}});
  presence_.Reconcile(me, before);
}

}  // namespace reposa::server
