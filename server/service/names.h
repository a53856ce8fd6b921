#pragma once

// Screen names and passwords as the server sees them.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "server_limits.h"

namespace reposa::server {

// Lower case (ASCII letters), every space removed: the form names are
// compared in.
std::string NormalizeName(std::string_view text);

// A screen name as a user may type it: letters, digits, ". _ @ -" and inner
// spaces, within the name limits. Colons, commas and quotes are kept out, so
// a name never breaks the fields of a server message.
bool IsValidScreenName(std::string_view typed, const Limits& limits);

// The typed form without leading and trailing spaces.
std::string_view TrimSpaces(std::string_view text);

// Reverses the client's roasting: "0x" and two hex digits per byte, xor'ed
// with the repeating roasting key. Nullopt when the text is not of that shape.
std::optional<std::string> UnroastPassword(std::string_view roasted);

// A password the server accepts for an account: 1 to maxPassword bytes, no
// control characters.
bool IsValidPassword(std::string_view password, const Limits& limits);

}  // namespace reposa::server
