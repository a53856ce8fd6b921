#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/presence.h"

namespace reposa::server {

// A user's profile page as a self-contained data: URL (the server runs no web
// server): name, warning level, online and idle time, away message, and the
// profile the user set, which is HTML of its own.
std::string ProfileUrl(const OnlineUser& user, std::int64_t now);

// Percent-encodes every byte but letters, digits and "-._~".
std::string PercentEncode(std::string_view text);

}  // namespace reposa::server
