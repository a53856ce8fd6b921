#pragma once

// The commands of reposa-server's command line ("account add NAME",
// "status", "backup FILE", ...): each goes to the running server through its
// control socket, or, when no server runs with the database, works on the
// database file itself. One of the program's own files, beside main.cpp.

#include <functional>
#include <string>
#include <string_view>

#include "options.h"

namespace reposa::server {

// Runs `options.command` on the database at `database`; the exit status.
// What it did goes to `log`; a listing or a status to standard output.
int RunCommand(const Options& options, const std::string& database,
               const std::function<void(std::string_view)>& log);

// "2026-12-08T10:00:00Z" for seconds since the epoch; "never" for 0.
std::string SignOnTime(std::int64_t seconds);

}  // namespace reposa::server
