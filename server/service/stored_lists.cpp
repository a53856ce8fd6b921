#include "service/stored_lists.h"

#include <algorithm>

#include "service/names.h"

namespace reposa::server {

Group* StoredLists::FindGroup(std::string_view name) {
  for (Group& g : groups)
    if (g.name == name) return &g;
  return nullptr;
}

StoredLists::Change StoredLists::AddGroup(std::string_view name, const Limits& limits) {
  if (FindGroup(name)) return Change::Unchanged;
  if (groups.size() >= limits.maxGroups) return Change::Full;
  groups.push_back(Group{std::string(name), {}, {}, {}});
  return Change::Done;
}

bool StoredLists::RemoveGroup(std::string_view name) {
  auto it =
      std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.name == name; });
  if (it == groups.end()) return false;
  for (const std::string& key : it->keys) Count(key, -1);
  buddyCount_ -= it->keys.size();
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
  if (BuddyCount() >= limits.maxBuddies) return Change::Full;
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
  return Change::Done;
}

bool StoredLists::RemoveBuddy(std::string_view group, std::string_view buddy) {
  Group* g = FindGroup(group);
  if (!g) return false;
  const std::string key = NormalizeName(buddy);
  auto it = std::find(g->keys.begin(), g->keys.end(), key);
  if (it == g->keys.end()) return false;
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
  if (list.size() >= limits.maxPrivacyNames) return Change::Full;
  list.emplace_back(normalised);
  return Change::Done;
}

bool StoredLists::RemoveName(std::vector<std::string>& list, std::string_view normalised) {
  auto it = std::find(list.begin(), list.end(), normalised);
  if (it == list.end()) return false;
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
  if (name.empty() || name.size() > limits.maxGroupName) return false;
  for (char c : name)
    if (static_cast<unsigned char>(c) < 32 || c == 127) return false;
  return !name.ends_with("done:");
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
