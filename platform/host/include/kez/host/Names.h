#pragma once

#include <string>
#include <string_view>

namespace kez::host {

// A screen name or room name in the form the service compares names in:
// ASCII letters in lower case, every space removed, other bytes kept.
std::string NormalizeName(std::string_view name);

}  // namespace kez::host
