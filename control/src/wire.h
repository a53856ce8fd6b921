#pragma once

// Pure routines of the session control: no state, no I/O, so they are tested
// and fuzzed on their own.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kez::wire {

// 16-bit big-endian conversions. WordToBytes yields empty text for a value
// outside 0..65535; BytesToWord reads a missing byte as 0.
std::string WordToBytes(int32_t value);
int32_t BytesToWord(std::string_view text);

// Lower case (ASCII letters), every space removed.
std::string NormalizeName(std::string_view text);
// "0x" and two lower-case hex digits per byte, xor'ed with the roasting key.
std::string RoastPassword(std::string_view text);
// The text with every tag (from a "<" to the first ">" after it) removed,
// leftmost first, stopping at a "<" that has no ">" after it.
std::string RemoveHtml(std::string_view text);

// The text without the spaces (only " ") at either end.
std::string_view TrimSpaces(std::string_view text);

// Strict decimal: an optional sign and one or more digits, range-checked.
std::optional<int16_t> ToInt16(std::string_view text);
std::optional<int32_t> ToInt32(std::string_view text);

// Cuts `text` at its colons into at most `maxParts` parts (0: no limit); the
// last part keeps all remaining text, colons included.
inline constexpr std::size_t kNoLimit = 0;
std::vector<std::string_view> SplitFields(std::string_view text, std::size_t maxParts);

}  // namespace kez::wire
