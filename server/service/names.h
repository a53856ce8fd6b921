#pragma once

// Screen names and passwords as the server sees them.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace reposa::server {

// Longest screen name, normalised, and longest display form.
inline constexpr std::size_t kMaxScreenName = 48;
inline constexpr std::size_t kMaxDisplayName = 64;
inline constexpr std::size_t kMaxPassword = 64;

// Lower case (ASCII letters), every space removed: the form names are
// compared in.
std::string NormalizeName(std::string_view text);

// A screen name as a user may type it: letters, digits, ". _ @ -" and inner
// spaces, at most kMaxScreenName once normalised. Colons, commas and quotes
// are kept out, so a name never breaks the fields of a server message.
bool IsValidScreenName(std::string_view typed);

// The typed form without leading and trailing spaces.
std::string_view TrimSpaces(std::string_view text);

// Reverses the client's roasting: "0x" and two hex digits per byte, xor'ed
// with the repeating roasting key. Nullopt when the text is not of that shape.
std::optional<std::string> UnroastPassword(std::string_view roasted);

// A password the server accepts for an account: 1 to kMaxPassword bytes, no
// control characters.
bool IsValidPassword(std::string_view password);

}  // namespace reposa::server
