#include "arguments.h"

#include "wire.h"

namespace kez::wire {

std::string EscapeArgument(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '\\':
      case '$':
      case '"':
      case '(':
      case ')':
      case '[':
      case ']':
      case '{':
      case '}':
        out.push_back('\\');
        break;
      default:
        break;
    }
    out.push_back(c);
  }
  return out;
}

std::string QuotedText(std::string_view text) {
  return '"' + EscapeArgument(text) + '"';
}

std::string QuotedName(std::string_view name) {
  return QuotedText(NormalizeName(name));
}

std::string QuotedNumber(int32_t value) {
  return '"' + std::to_string(value) + '"';
}

std::string QuotedBuddyEntry(std::string_view group, std::string_view buddy) {
  return "\"g:" + EscapeArgument(group) + "\nb:" + EscapeArgument(buddy) + "\n\"";
}

}  // namespace kez::wire
