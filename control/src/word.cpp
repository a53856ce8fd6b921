#include "wire.h"

namespace kez::wire {

std::string WordToBytes(int32_t value) {
  if (value < 0 || value > 65535) return {};
  return {static_cast<char>(value / 256), static_cast<char>(value % 256)};
}

int32_t BytesToWord(std::string_view text) {
  const int32_t high = text.size() > 0 ? static_cast<unsigned char>(text[0]) : 0;
  const int32_t low = text.size() > 1 ? static_cast<unsigned char>(text[1]) : 0;
  return high * 256 + low;
}

}  // namespace kez::wire
