#pragma once

// A client command line: a word, then arguments separated by spaces, each
// either bare or in double quotes with backslash escapes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reposa::server {

struct CommandLine {
  std::string word;
  std::vector<std::string> args;  // unquoted and unescaped
};

// Nullopt for a line that is empty, has an unbalanced quote, a quote inside a
// bare word, or no space after a closing quote. Inside quotes a backslash
// takes the next byte as it is, whatever it is.
std::optional<CommandLine> ParseCommandLine(std::string_view line);

}  // namespace reposa::server
