// Reading stored lists back from the text the database keeps.

#include <charconv>

#include "service/names.h"
#include "service/stored_lists.h"

namespace reposa::server {

StoredLists ParseConfigText(std::string_view text, const Limits& limits) {
  StoredLists lists;
  std::string group;  // the group of the "b:" lines that follow; empty: none
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line == "done:") break;
    if (line.size() < 2 || line[1] != ':') continue;
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
        group.clear();
        if (IsValidGroupName(value, limits) &&
            lists.AddGroup(value, limits) != StoredLists::Change::Full)
          group = std::string(value);
        break;
      case 'b': {
        const std::size_t colon = value.find(':');
        const std::string_view buddy = value.substr(0, colon);
        std::string_view alias =
            colon == std::string_view::npos ? std::string_view() : value.substr(colon + 1);
        // An alias past the limits (kept before there were any) is left
        // out; its buddy stays.
        if (!IsValidAlias(alias, limits)) alias = {};
        bool created = false;
        if (!group.empty() && IsValidScreenName(buddy, limits))
          lists.AddBuddy(group, buddy, created, limits, alias);
        break;
      }
      case 'p':
      case 'd':
        if (IsValidScreenName(value, limits))
          lists.AddName(line[0] == 'p' ? lists.permitted : lists.blocked, NormalizeName(value),
                        limits);
        break;
      default:
        break;
    }
  }
  return lists;
}

}  // namespace reposa::server
