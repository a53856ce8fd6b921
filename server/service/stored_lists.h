#pragma once

// An account's lists kept by the server: privacy mode, groups with their
// buddies, permitted and blocked names. What they may hold is bounded by
// the limits, their stored configuration text included, so its owner's
// sign-on always fits what a client may be sent.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server_limits.h"

namespace reposa::server {

// Privacy modes, as the client sets them.
enum PrivacyMode : int {
  kPermitAll = 1,
  kDenyAll = 2,
  kPermitSome = 3,  // only the permitted names
  kDenySome = 4,    // all but the blocked names
  kPermitBuddies = 5,
};

struct Group {
  std::string name;
  std::vector<std::string> buddies;  // as typed
  std::vector<std::string> keys;     // the same, normalised, in the same order
  // The names the owner gave buddies, by normalised buddy name.
  std::map<std::string, std::string, std::less<>> aliases;
};

// One change of an account's lists, as the store writes it: one row added
// or removed.
struct ListEdit {
  char kind = 0;      // 'g' group, 'b' buddy, 'p' permitted, 'd' blocked, 'm' privacy mode
  bool add = true;    // false: removed (a group goes with its buddies)
  std::string group;  // the buddy's group, or the group itself
  std::string name;   // a buddy as typed, a normalised name, or the mode's digit
  std::string alias;  // a buddy's alias
};

struct StoredLists {
  int privacyMode = kPermitAll;
  std::vector<Group> groups;
  std::vector<std::string> permitted;  // normalised
  std::vector<std::string> blocked;    // normalised

  // Full: the change would pass one of the list limits, the size of the
  // stored configuration included.
  enum class Change { Done, Unchanged, Full };

  Group* FindGroup(std::string_view name);
  Change AddGroup(std::string_view name, const Limits& limits);
  // Removes the group and its buddies.
  bool RemoveGroup(std::string_view name);
  // Creates the group when it is missing. `groupCreated` says whether it did.
  Change AddBuddy(std::string_view group, std::string_view buddy, bool& groupCreated,
                  const Limits& limits, std::string_view alias = {});
  bool RemoveBuddy(std::string_view group, std::string_view buddy);
  Change AddName(std::vector<std::string>& list, std::string_view normalised, const Limits& limits);
  bool RemoveName(std::vector<std::string>& list, std::string_view normalised);

  std::size_t BuddyCount() const { return buddyCount_; }
  // The size of ConfigText(), kept as the lists change.
  std::size_t ConfigBytes() const { return configBytes_; }
  // Whether `bytes` more of configuration text fit.
  bool Fits(std::size_t bytes, const Limits& limits) const {
    return configBytes_ + bytes <= limits.maxStoredConfig;
  }
  // Whether `normalised` is in any group: one look-up, whatever the lists hold.
  bool HasBuddy(std::string_view normalised) const {
    return inGroups_.count(std::string(normalised)) > 0;
  }
  // Every buddy, normalised, once.
  const std::unordered_map<std::string, int>& BuddyKeys() const { return inGroups_; }
  // Whether the owner of these lists lets `viewer` (normalised) see them and
  // write to them.
  bool Permits(std::string_view viewer) const;

  // The stored configuration: "m:<mode>", then each "g:" line followed by its
  // "b:<buddy>[:<alias>]" lines, then "p:" lines, "d:" lines and "done:", each line ended by a
  // line feed.
  std::string ConfigText() const;

 private:
  void Count(const std::string& key, int change);
  // Normalised buddy name -> the number of groups holding it. Kept by the
  // members above, which are the only way buddies come and go.
  std::unordered_map<std::string, int> inGroups_;
  std::size_t buddyCount_ = 0;
  std::size_t configBytes_ = 10;  // "m:1\n" and "done:\n"
};

// The bytes of one configuration line: "<kind>:<text>" and its line feed; a
// buddy's line holds ":<alias>" too when it has one.
inline std::size_t ConfigLineBytes(std::string_view text, std::string_view alias = {}) {
  return 3 + text.size() + (alias.empty() ? 0 : 1 + alias.size());
}

// The lists back from their ConfigText (the "done:" line may be missing).
// Lines that do not fit, or pass a limit, are left out.
StoredLists ParseConfigText(std::string_view text, const Limits& limits);

// A group name the server keeps: 1 to maxGroupName bytes, no control bytes,
// and not ending in "done:", which would end a stored configuration early.
bool IsValidGroupName(std::string_view name, const Limits& limits);
// An alias the server keeps: up to maxAlias bytes, no control bytes.
bool IsValidAlias(std::string_view alias, const Limits& limits);

// Cuts a configuration text into CONFIG2 messages of at most `maxPayload`
// bytes each, at line ends; "done:" is only ever in the last one.
std::vector<std::string> Config2Messages(std::string_view text, std::size_t maxPayload);

}  // namespace reposa::server
