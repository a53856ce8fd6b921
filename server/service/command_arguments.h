#pragma once

// Numbers in command arguments, read strictly.

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace reposa::server {

// Strict decimal within [low, high].
inline std::optional<std::int64_t> Number(std::string_view text, std::int64_t low,
                                          std::int64_t high) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (value < low || value > high) return std::nullopt;
  return value;
}

inline std::optional<std::int32_t> ChatId(std::string_view text) {
  auto id = Number(text, 1, INT32_MAX);
  if (!id) return std::nullopt;
  return static_cast<std::int32_t>(*id);
}

}  // namespace reposa::server
