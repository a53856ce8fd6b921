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
  skipSpaces();
  while (i < n && line[i] != ' ') {
    if (line[i] == '"' || line[i] == '\\') return std::nullopt;
    out.word.push_back(line[i++]);
  }
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
      while (i < n && line[i] != ' ') {
        if (line[i] == '"') return std::nullopt;
        arg.push_back(line[i++]);
      }
    }
    out.args.push_back(std::move(arg));
  }
  return out;
}

}  // namespace reposa::server
