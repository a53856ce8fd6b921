#include "service/command_parser.h"

#include <cstring>

namespace reposa::server {

namespace {

// The first position from `i` on that holds one of `stops`, or the end.
// One memchr a stop, each over what lies before the nearest found so far:
// the library's memchr takes many bytes a step, where a loop over bytes
// (or find_first_of, which asks memchr about every byte) takes one.
std::size_t FindAny(std::string_view line, std::size_t i, std::string_view stops) {
  std::size_t end = line.size();
  for (const char stop : stops) {
    if (i >= end) break;
    if (const void* hit = std::memchr(line.data() + i, stop, end - i))
      end = static_cast<std::size_t>(static_cast<const char*>(hit) - line.data());
  }
  return end;
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(std::string_view line) {
  CommandLine out;
  std::size_t i = 0;
  const std::size_t n = line.size();
  auto skipSpaces = [&] {
    while (i < n && line[i] == ' ') ++i;
  };
  // Unquoted runs end at a space or a byte they may not hold, and are
  // copied whole: a list of names may be thousands of bytes.
  skipSpaces();
  const std::size_t wordEnd = FindAny(line, i, " \"\\");
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
        const std::size_t special = FindAny(line, i, "\"\\");
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
      const std::size_t end = FindAny(line, i, " \"");
      if (end < n && line[end] == '"') return std::nullopt;
      arg = line.substr(i, end - i);
      i = end;
    }
    out.args.push_back(std::move(arg));
  }
  return out;
}

}  // namespace reposa::server
