#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace reposa::console {

// The control's texts are byte strings. On the JSON side each byte 0..255 is
// the character U+0000..U+00FF, so every byte string round-trips and a script
// never has to know how bytes would be decoded.

// A JSON string whose characters are the bytes of `bytes`.
nlohmann::ordered_json BytesToJson(std::string_view bytes);

// The bytes a JSON string stands for: `utf8` is the string's UTF-8 form, as
// nlohmann::ordered_json holds it. Nothing when a character lies above U+00FF (or the
// text is not UTF-8); `badPosition`, when given, then receives the 0-based
// character position of the first offender.
std::optional<std::string> Utf8ToBytes(std::string_view utf8, std::size_t* badPosition = nullptr);

// One JSON value as an output line, without its line feed. Pure ASCII: bytes
// above 127 and control characters are written as \u escapes, so no byte from
// the server reaches a terminal raw.
std::string ToLine(const nlohmann::ordered_json& value);

}  // namespace reposa::console
