#include "service/command_parser.h"

#include <algorithm>

namespace reposa::server {

std::optional<CommandLine> ParseCommandLine(std::string_view line) {
  CommandLine out;
  std::size_t i = 0;
  const std::size_t n = line.size();
  auto skipSpaces = [&] {
    while (i < n && line[i] == ' ') ++i;
  };
  // Where an unquoted run ends: at the first of `stops` (the space, and the
  // bytes such a run may not hold), or at the end. Runs are copied whole:
  // a list of names may be thousands of bytes.
  auto runEnd = [&](std::string_view stops) { return std::min(line.find_first_of(stops, i), n); };
  skipSpaces();
  const std::size_t wordEnd = runEnd(" \"\\");
  if (wordEnd < n && line[wordEnd] != ' ') return std::nullopt;
  out.word = line.substr(i, wordEnd - i);
  i = wordEnd;
  if (out.word.empty()) return std::nullopt;
  // Runs of spaces separate like one: the login line carries two in a row.
  for (skipSpaces(); i < n; skipSpaces()) {
    std::string arg;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < n) {
        // Plain runs are copied whole: a chat line may be thousands of bytes.
        const std::size_t special = std::min(line.find_first_of("\"\\", i), n);
        arg.append(line.substr(i, special - i));
        i = special;
        if (i == n) break;
        const char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (i == n) return std::nullopt;  // a backslash at the end
        arg.push_back(line[i++]);
      }
      if (!closed) return std::nullopt;
      if (i < n && line[i] != ' ') return std::nullopt;
    } else {
      const std::size_t end = runEnd(" \"");
      if (end < n && line[end] == '"') return std::nullopt;
      arg = line.substr(i, end - i);
      i = end;
    }
    out.args.push_back(std::move(arg));
  }
  return out;
}

}  // namespace reposa::server
