#include "service/names.h"

#include <array>

namespace reposa::server {

std::string NormalizeName(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == ' ') continue;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    out.push_back(c);
  }
  return out;
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

bool IsValidScreenName(std::string_view typed, const Limits& limits) {
  if (typed.size() > limits.maxDisplayName) return false;
  std::size_t letters = 0;
  for (char c : typed) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '@' || c == '-' || c == ' ';
    if (!ok) return false;
    if (c != ' ') ++letters;
  }
  return letters > 0 && letters <= limits.maxScreenName;
}

std::optional<std::string> UnroastPassword(std::string_view roasted) {
  // The roasting key, kept as codes rather than as a string literal.
  static constexpr std::array<unsigned char, 7> kKey = {84, 105, 99, 47, 84, 111, 99};
  if (roasted.size() < 2 || roasted[0] != '0' || (roasted[1] != 'x' && roasted[1] != 'X'))
    return std::nullopt;
  roasted.remove_prefix(2);
  if (roasted.size() % 2 != 0) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(roasted.size() / 2);
  for (std::size_t i = 0; i < roasted.size(); i += 2) {
    const int hi = nibble(roasted[i]);
    const int lo = nibble(roasted[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    const std::size_t index = i / 2;
    out.push_back(static_cast<char>((hi << 4 | lo) ^ kKey[index % kKey.size()]));
  }
  return out;
}

bool IsValidPassword(std::string_view password, const Limits& limits) {
  if (password.empty() || password.size() > limits.maxPassword) return false;
  for (char c : password)
    if (static_cast<unsigned char>(c) < 32 || c == 127) return false;
  return true;
}

}  // namespace reposa::server
