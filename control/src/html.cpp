// Tag stripping for hosts that want plain text.
//
// A tag runs from the leftmost "<" to the first ">" after it; tags are taken
// out one at a time, leftmost first, until a "<" has no ">" after it. Taking
// a tag out leaves only "<"-free text in front of the cut, so the next
// leftmost "<" is the first one after the removed ">" in the original text.
// One forward scan therefore gives the same result without rebuilding the
// text after every tag.

#include "kez/SessionCore.h"
#include "wire.h"

namespace kez {

namespace wire {

std::string RemoveHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t open = text.find('<', pos);
    if (open == std::string_view::npos) break;
    const std::size_t close = text.find('>', open + 1);
    // An unclosed "<" ends the work: it and all after it stay.
    if (close == std::string_view::npos) break;
    out.append(text.substr(pos, open - pos));
    pos = close + 1;
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace wire

std::string SessionCore::RemoveHtml(std::string_view strMessage) const {
  return wire::RemoveHtml(strMessage);
}

}  // namespace kez
