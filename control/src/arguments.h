#pragma once

// How a command argument goes on the wire. Every text inside double quotes is
// escaped, so no value can end its quotes early or reach the server's special
// characters; the server's tests and fuzzers build expected lines with these.

#include <cstdint>
#include <string>
#include <string_view>

namespace kez::wire {

// A backslash before each of \ $ " ( ) [ ] { }.
std::string EscapeArgument(std::string_view text);
// The text escaped, in double quotes.
std::string QuotedText(std::string_view text);
// The screen name normalised, then escaped, in double quotes.
std::string QuotedName(std::string_view name);
// Decimal, in double quotes.
std::string QuotedNumber(int32_t value);
// The one argument that adds a buddy: "g:<group>\nb:<buddy>\n", both escaped.
std::string QuotedBuddyEntry(std::string_view group, std::string_view buddy);

}  // namespace kez::wire
