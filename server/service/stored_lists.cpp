#include "service/stored_lists.h"

#include <algorithm>

#include "service/names.h"

namespace reposa::server {

namespace {

// The bytes of the line of the group's buddy number `i`.
std::size_t BuddyLineBytes(const Group& g, std::size_t i) {
  auto alias = g.aliases.find(g.keys[i]);
  return ConfigLineBytes(g.buddies[i], alias == g.aliases.end() ? "" : alias->second);
}

bool HasControlBytes(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 32 || c == 127) return true;
  return false;
}

}  // namespace

Group* StoredLists::FindGroup(std::string_view name) {
  for (Group& g : groups)
    if (g.name == name) return &g;
  return nullptr;
}

StoredLists::Change StoredLists::AddGroup(std::string_view name, const Limits& limits) {
  if (FindGroup(name)) return Change::Unchanged;
  if (groups.size() >= limits.maxGroups || !Fits(ConfigLineBytes(name), limits))
    return Change::Full;
  groups.push_back(Group{std::string(name), {}, {}, {}});
  configBytes_ += ConfigLineBytes(name);
  return Change::Done;
}

bool StoredLists::RemoveGroup(std::string_view name) {
  auto it =
      std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.name == name; });
  if (it == groups.end()) return false;
  for (std::size_t i = 0; i < it->keys.size(); ++i) {
    Count(it->keys[i], -1);
    configBytes_ -= BuddyLineBytes(*it, i);
  }
  buddyCount_ -= it->keys.size();
  configBytes_ -= ConfigLineBytes(it->name);
  groups.erase(it);
  return true;
}

void StoredLists::Count(const std::string& key, int change) {
  int& n = inGroups_[key];
  n += change;
  if (n <= 0) inGroups_.erase(key);
}

StoredLists::Change StoredLists::AddBuddy(std::string_view group, std::string_view buddy,
                                          bool& groupCreated, const Limits& limits,
                                          std::string_view alias) {
  groupCreated = false;
  const std::string key = NormalizeName(buddy);
  Group* g = FindGroup(group);
  if (g && std::find(g->keys.begin(), g->keys.end(), key) != g->keys.end())
    return Change::Unchanged;
  const std::size_t bytes = ConfigLineBytes(buddy, alias) + (g ? 0 : ConfigLineBytes(group));
  if (BuddyCount() >= limits.maxBuddies || !Fits(bytes, limits)) return Change::Full;
  if (!g) {
    if (AddGroup(group, limits) != Change::Done) return Change::Full;
    groupCreated = true;
    g = &groups.back();
  }
  g->buddies.emplace_back(buddy);
  g->keys.push_back(key);
  if (!alias.empty()) g->aliases.emplace(key, alias);
  Count(key, 1);
  ++buddyCount_;
  configBytes_ += ConfigLineBytes(buddy, alias);
  return Change::Done;
}

bool StoredLists::RemoveBuddy(std::string_view group, std::string_view buddy) {
  Group* g = FindGroup(group);
  if (!g) return false;
  const std::string key = NormalizeName(buddy);
  auto it = std::find(g->keys.begin(), g->keys.end(), key);
  if (it == g->keys.end()) return false;
  configBytes_ -= BuddyLineBytes(*g, static_cast<std::size_t>(it - g->keys.begin()));
  g->buddies.erase(g->buddies.begin() + (it - g->keys.begin()));
  g->keys.erase(it);
  g->aliases.erase(key);
  Count(key, -1);
  --buddyCount_;
  return true;
}

StoredLists::Change StoredLists::AddName(std::vector<std::string>& list,
                                         std::string_view normalised, const Limits& limits) {
  if (std::find(list.begin(), list.end(), normalised) != list.end()) return Change::Unchanged;
  if (list.size() >= limits.maxPrivacyNames || !Fits(ConfigLineBytes(normalised), limits))
    return Change::Full;
  list.emplace_back(normalised);
  configBytes_ += ConfigLineBytes(normalised);
  return Change::Done;
}

bool StoredLists::RemoveName(std::vector<std::string>& list, std::string_view normalised) {
  auto it = std::find(list.begin(), list.end(), normalised);
  if (it == list.end()) return false;
  configBytes_ -= ConfigLineBytes(*it);
  list.erase(it);
  return true;
}

bool StoredLists::Permits(std::string_view viewer) const {
  auto in = [&](const std::vector<std::string>& list) {
    return std::find(list.begin(), list.end(), viewer) != list.end();
  };
  switch (privacyMode) {
    case kDenyAll:
      return false;
    case kPermitSome:
      return in(permitted);
    case kDenySome:
      return !in(blocked);
    case kPermitBuddies:
      return HasBuddy(viewer);
    default:
      return true;
  }
}

std::string StoredLists::ConfigText() const {
  std::string text = "m:" + std::to_string(privacyMode) + "\n";
  for (const Group& g : groups) {
    text.append("g:").append(g.name).append("\n");
    for (std::size_t i = 0; i < g.buddies.size(); ++i) {
      text.append("b:").append(g.buddies[i]);
      if (!g.aliases.empty())
        if (auto alias = g.aliases.find(g.keys[i]); alias != g.aliases.end())
          text.append(":").append(alias->second);
      text.append("\n");
    }
  }
  for (const std::string& p : permitted) text.append("p:").append(p).append("\n");
  for (const std::string& d : blocked) text.append("d:").append(d).append("\n");
  text.append("done:\n");
  return text;
}

bool IsValidGroupName(std::string_view name, const Limits& limits) {
  if (name.empty() || name.size() > limits.maxGroupName || HasControlBytes(name)) return false;
  return !name.ends_with("done:");
}

bool IsValidAlias(std::string_view alias, const Limits& limits) {
  return alias.size() <= limits.maxAlias && !HasControlBytes(alias);
}

std::vector<std::string> Config2Messages(std::string_view text, std::size_t maxPayload) {
  static constexpr std::string_view kName = "CONFIG2:";
  std::vector<std::string> out;
  std::string current(kName);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
    const std::string_view line = text.substr(0, length);
    // A line that does not fit what is gathered starts a new message; a line
    // longer than a whole message (never built by ConfigText) goes alone.
    if (current.size() > kName.size() && current.size() + line.size() > maxPayload) {
      out.push_back(std::move(current));
      current.assign(kName);
    }
    current.append(line);
    text.remove_prefix(length);
  }
  out.push_back(std::move(current));
  return out;
}

}  // namespace reposa::server
