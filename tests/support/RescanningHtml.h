#pragma once

#include <string>

namespace kez::test {

// Tag stripping written the plain way: find the leftmost "<" and the first
// ">" after it, cut both out with all between, and search the new text again
// from its start; stop at a "<" with no ">" after it. Quadratic, so it serves
// only as the yardstick the single-scan stripper is tested, fuzzed and
// measured against.
inline std::string RescanningRemoveHtml(std::string text) {
  for (;;) {
    const std::size_t open = text.find('<');
    if (open == std::string::npos) return text;
    const std::size_t close = text.find('>', open + 1);
    if (close == std::string::npos) return text;
    text = text.substr(0, open) + text.substr(close + 1);
  }
}

}  // namespace kez::test
