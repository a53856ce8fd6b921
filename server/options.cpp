#include "options.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <vector>

#include "kez/host/Address.h"

namespace reposa::server {

namespace {

template <typename Int>
bool ParseInt(std::string_view text, Int low, Int high, Int& value) {
  Int parsed{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || parsed < low ||
      parsed > high)
    return false;
  value = parsed;
  return true;
}

// The numeric limits, one row each: option, what it wants, range, where.
struct Limit {
  std::string_view option;
  std::string_view wants;
  std::size_t low, high;
  std::size_t* count;                  // a count or a size in bytes
  std::chrono::milliseconds* seconds;  // or a time in whole seconds
  int* small;                          // or a small count
};

std::vector<Limit> Limits(ServerOptions& s) {
  constexpr std::size_t kMiB = 1024 * 1024;
  return {
      {"--keepalive", "seconds", 0, 86400, nullptr, &s.keepAlive, nullptr},
      {"--idle-keepalives", "a count", 0, 100, nullptr, nullptr, &s.idleKeepAlives},
      {"--sign-on-timeout", "seconds", 1, 3600, nullptr, &s.signOnTimeout, nullptr},
      {"--close-timeout", "seconds", 1, 3600, nullptr, &s.closeTimeout, nullptr},
      {"--max-connections", "a count", 1, 1000000, &s.maxConnections, nullptr, nullptr},
      {"--max-per-address", "a count", 1, 1000000, &s.maxPerAddress, nullptr, nullptr},
      {"--max-signing-on", "a count", 1, 1000000, &s.maxSigningOn, nullptr, nullptr},
      {"--max-signing-on-per-address", "a count", 1, 1000000, &s.maxSigningOnPerAddress, nullptr,
       nullptr},
      {"--max-client-backlog", "bytes", 64 * 1024, 1024 * kMiB, &s.maxPendingOutput, nullptr,
       nullptr},
      {"--max-total-backlog", "bytes", kMiB, 64 * 1024 * kMiB, &s.maxTotalOutput, nullptr, nullptr},
      {"--frames-per-turn", "a count", 1, 10000, &s.framesPerTurn, nullptr, nullptr},
  };
}

// --listen HOST:PORT, by the hosts' one address rule; port 0 picks a free one.
void SetListenAddress(std::string_view text, ServerOptions& server) {
  try {
    const kez::host::Address a = kez::host::ParseAddress(text, {.anyPort = true});
    server.host = a.host;
    server.port = std::to_string(a.port);
  } catch (const kez::host::AddressError& e) {
    throw std::invalid_argument("--listen wants HOST:PORT, not '" + std::string(text) + "' (" +
                                e.what() + ")");
  }
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::string value;
    bool hasValue = false;
    if (const std::size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      value = std::string(arg.substr(eq + 1));
      arg = arg.substr(0, eq);
      hasValue = true;
    }
    auto take = [&]() -> std::string {
      if (hasValue) return value;
      if (i + 1 >= args.size()) throw std::invalid_argument(std::string(arg) + " needs a value");
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--listen") {
      SetListenAddress(take(), o.server);
    } else if (arg == "--accounts") {
      o.accountsFile = take();
      if (o.accountsFile->empty()) throw std::invalid_argument("--accounts needs a file name");
    } else if (arg == "--db") {
      o.database = take();
      if (o.database.empty()) throw std::invalid_argument("--db needs a file name");
    } else if (arg == "account" && o.accountAction.empty()) {
      if (i + 2 >= args.size() || (args[i + 1] != "add" && args[i + 1] != "remove"))
        throw std::invalid_argument("account wants add NAME or remove NAME");
      o.accountAction = args[i + 1];
      o.accountName = args[i + 2];
      i += 2;
    } else if (auto limits = Limits(o.server); std::any_of(
                   limits.begin(), limits.end(), [&](const Limit& l) { return l.option == arg; })) {
      const Limit& l = *std::find_if(limits.begin(), limits.end(),
                                     [&](const Limit& l) { return l.option == arg; });
      const std::string v = take();
      std::size_t n = 0;
      if (!ParseInt<std::size_t>(v, l.low, l.high, n))
        throw std::invalid_argument(std::string(arg) + " wants " + std::string(l.wants) + " from " +
                                    std::to_string(l.low) + " to " + std::to_string(l.high) +
                                    ", not '" + v + "'");
      if (l.count) *l.count = n;
      if (l.seconds) *l.seconds = std::chrono::seconds(n);
      if (l.small) *l.small = static_cast<int>(n);
    } else {
      throw std::invalid_argument("unknown option '" + std::string(arg) + "'");
    }
  }
  return o;
}

std::string UsageText() {
  return R"(Usage: reposa-server [OPTION VALUE]...
  or:  reposa-server [--db FILE] account add NAME
  or:  reposa-server [--db FILE] account remove NAME

A TOC2 server for one machine: one loop, fair turns for every connection,
and bounded memory, so one slow or hostile client never holds up the others.

Options:
  --listen HOST:PORT   where to listen (default 127.0.0.1:5190; port 0 picks a
                       free one; IPv6 as [::1]:5190)
  --db FILE            the database of accounts and their lists (default
                       $XDG_DATA_HOME/reposa/server.db, else
                       ~/.local/share/reposa/server.db); :memory: keeps
                       nothing after the server stops
  --accounts FILE      lines "screenname:password"; those not yet registered
                       are added to the database at start (use account add
                       to set a new password). Keep the file private
                       (chmod 600).
  --keepalive SECONDS  interval of keep-alive frames to each signed-on client
                       (default 60; 0 sends none)
  --help               this text
  --version            the version

Limits (defaults in brackets):
  --idle-keepalives N          close a signed-on session from which no whole
                               frame came for N keep-alive intervals (3; 0 never)
  --sign-on-timeout SECONDS    close a connection not signed on by then (10)
  --close-timeout SECONDS      a closing connection is gone by then, whatever it
                               still has queued (5)
  --max-connections N          connections in all (10000)
  --max-per-address N          connections from one client address (64)
  --max-signing-on N           connections not yet signed on, in all (256)
  --max-signing-on-per-address N
                               connections not yet signed on, from one address (8)
  --max-client-backlog BYTES   output one client may leave unread before it is
                               dropped (4194304)
  --max-total-backlog BYTES    output queued for all clients together; past it
                               the largest backlog is dropped first (268435456)
  --frames-per-turn N          frames of one connection handled in one turn of
                               the loop; the rest wait their next turn (16)

At start the limit of open files is raised as far as the system allows for
--max-connections.

account add NAME asks for the password on the terminal (or reads its first
line from standard input) and registers NAME; account remove NAME deletes the
account and its lists. Restart a running server to apply either.

With no registered account the server is open: any screen name signs on with
any password, and no password can be set. With one, only registered accounts
sign on. Buddy lists, groups, block and permit lists, privacy modes and
passwords (as Argon2id hashes) are kept in the database; away messages,
profiles and rooms last as long as the server runs. The log goes to standard
error, never blocks the server (lines it cannot write are counted) and never
shows a password.
)";
}

}  // namespace reposa::server
