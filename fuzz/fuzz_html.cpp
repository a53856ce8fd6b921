// Tag stripping against the rescanning loop it must agree with: any
// difference is a finding.

#include <string>

#include "RescanningHtml.h"
#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;  // the yardstick is quadratic
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (kez::wire::RemoveHtml(text) != kez::test::RescanningRemoveHtml(text)) __builtin_trap();
  return 0;
}
