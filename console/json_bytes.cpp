#include "json_bytes.h"

namespace reposa::console {

nlohmann::ordered_json BytesToJson(std::string_view bytes) {
  std::string utf8;
  utf8.reserve(bytes.size() + bytes.size() / 4);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      utf8.push_back(c);
    } else {
      utf8.push_back(static_cast<char>(0xC0 | (b >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return nlohmann::ordered_json(std::move(utf8));
}

std::optional<std::string> Utf8ToBytes(std::string_view utf8, std::size_t* badPosition) {
  std::string bytes;
  bytes.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      bytes.push_back(static_cast<char>(lead));
      continue;
    }
    // U+0080..U+00FF are exactly the two-byte forms led by C2 or C3.
    const bool twoByte = (lead == 0xC2 || lead == 0xC3) && i + 1 < utf8.size() &&
                         (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80;
    if (!twoByte) {
      if (badPosition) *badPosition = bytes.size();
      return std::nullopt;
    }
    const auto next = static_cast<unsigned char>(utf8[++i]);
    bytes.push_back(static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F)));
  }
  return bytes;
}

std::string ToLine(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', /*ensure_ascii=*/true,
                    nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace reposa::console
