#pragma once

// The accounts file: one "screenname:password" a line. Blank lines and lines
// starting with "#" are skipped; the password is everything after the first
// colon.

#include <string>
#include <string_view>
#include <vector>

#include "server_limits.h"
#include "service/directory.h"

namespace reposa::server {

// Throws std::runtime_error naming the file and line of the first bad line
// (never quoting it, since it may hold a password).
std::vector<AccountEntry> ParseAccounts(std::string_view text, std::string_view fileName,
                                        const Limits& limits);
// Reads and parses the file; throws std::runtime_error when it cannot.
std::vector<AccountEntry> LoadAccounts(const std::string& path, const Limits& limits);

// Whether the file's permissions let group or others read or write it (the
// mode is stored in `mode`). False when the file cannot be examined.
bool AccessibleByOthers(const std::string& path, unsigned& mode);

}  // namespace reposa::server
