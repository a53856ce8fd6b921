#include <charconv>

#include "wire.h"

namespace kez::wire {

namespace {

template <class Int>
std::optional<Int> ToInt(std::string_view text) {
  // from_chars takes no "+" and accepts nothing but digits after a "-", which
  // is the strict form wanted here once a leading "+" is dropped.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  Int value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::optional<int16_t> ToInt16(std::string_view text) {
  return ToInt<int16_t>(text);
}
std::optional<int32_t> ToInt32(std::string_view text) {
  return ToInt<int32_t>(text);
}

std::vector<std::string_view> SplitFields(std::string_view text, std::size_t maxParts) {
  std::vector<std::string_view> parts;
  parts.reserve(maxParts ? maxParts : 8);
  while (maxParts == kNoLimit || parts.size() + 1 < maxParts) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) break;
    parts.push_back(text.substr(0, colon));
    text.remove_prefix(colon + 1);
  }
  parts.push_back(text);
  return parts;
}

}  // namespace kez::wire
