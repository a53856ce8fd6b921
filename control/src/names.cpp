#include <array>

#include "wire.h"

namespace kez::wire {

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

std::string RoastPassword(std::string_view text) {
  // The protocol's roasting key, "Tic/Toc", kept as codes so it is assembled
  // at run time rather than sitting in the binary as a string.
  static constexpr std::array<unsigned char, 7> kKey = {84, 105, 99, 47, 84, 111, 99};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "0x";
  out.reserve(2 + 2 * text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned v = static_cast<unsigned char>(text[i]) ^ kKey[i % kKey.size()];
    out.push_back(kHex[v >> 4]);
    out.push_back(kHex[v & 15]);
  }
  return out;
}

}  // namespace kez::wire
