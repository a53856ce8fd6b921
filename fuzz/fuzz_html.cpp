// Tag stripping against the rescanning loop it must agree with: any
// difference is a finding.

#include <string>

#include "wire.h"

namespace {

// Find the first "<", the first ">" after it, cut both out with all between,
// and start again from the beginning; stop at a "<" with no ">" after it.
std::string RescanningRemoveHtml(std::string text) {
  for (;;) {
    const std::size_t open = text.find('<');
    if (open == std::string::npos) return text;
    const std::size_t close = text.find('>', open + 1);
    if (close == std::string::npos) return text;
    text = text.substr(0, open) + text.substr(close + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;  // the yardstick is quadratic
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (kez::wire::RemoveHtml(text) != RescanningRemoveHtml(text)) __builtin_trap();
  return 0;
}
