// Reading stored lists back from the text the database keeps.

#include <charconv>

#include "names.h"
#include "stored_lists.h"

namespace reposa::server {

StoredLists ParseConfigText(std::string_view text) {
  StoredLists lists;
  // The text was written by ConfigText, so it holds no duplicates: lines are
  // appended without a search, which keeps a start with many accounts fast.
  Group* group = nullptr;
  std::size_t buddies = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.size() < 2 || line[1] != ':') {
      if (line == "done:") break;
      continue;
    }
    const std::string_view value = line.substr(2);
    switch (line[0]) {
      case 'm': {
        int mode = 0;
        const auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), mode);
        if (ec == std::errc{} && p == value.data() + value.size() && mode >= kPermitAll &&
            mode <= kPermitBuddies)
          lists.privacyMode = mode;
        break;
      }
      case 'g':
        group = nullptr;
        if (IsValidGroupName(value) && lists.groups.size() < kMaxGroups)
          group = &lists.groups.emplace_back(Group{std::string(value), {}, {}});
        break;
      case 'b': {
        const std::size_t colon = value.find(':');
        const std::string_view buddy = value.substr(0, colon);
        if (!group || !IsValidScreenName(buddy) || buddies >= kMaxBuddies) break;
        ++buddies;
        group->buddies.emplace_back(buddy);
        if (colon != std::string_view::npos && colon + 1 < value.size())
          group->aliases.emplace(NormalizeName(buddy), value.substr(colon + 1));
        break;
      }
      case 'p':
      case 'd':
        if (IsValidScreenName(value))
          lists.AddName(line[0] == 'p' ? lists.permitted : lists.blocked, NormalizeName(value));
        break;
      default:
        break;
    }
  }
  return lists;
}

}  // namespace reposa::server
