#include "options.h"

#include <charconv>
#include <stdexcept>

namespace reposa::server {

namespace {

bool ParseInt(std::string_view text, int low, int high, int& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc{} && end == text.data() + text.size() && value >= low &&
         value <= high;
}

}  // namespace

bool SplitHostPort(std::string_view text, std::string& host, std::string& port) {
  std::string_view h;
  std::string_view p;
  if (text.starts_with('[')) {
    const std::size_t close = text.find("]:");
    if (close == std::string_view::npos) return false;
    h = text.substr(1, close - 1);
    p = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
    if (h.find(':') != std::string_view::npos) return false;  // IPv6 needs brackets
  }
  int number = 0;
  if (h.empty() || !ParseInt(p, 0, 65535, number)) return false;
  host = std::string(h);
  port = std::to_string(number);
  return true;
}

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
    } else if (arg == "--listen") {
      const std::string v = take();
      if (!SplitHostPort(v, o.host, o.port))
        throw std::invalid_argument("--listen wants HOST:PORT (port 0 to 65535), not '" + v + "'");
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
    } else if (arg == "--keepalive") {
      const std::string v = take();
      if (!ParseInt(v, 0, 86400, o.keepAliveSeconds))
        throw std::invalid_argument("--keepalive wants seconds from 0 to 86400, not '" + v + "'");
    } else {
      throw std::invalid_argument("unknown option '" + std::string(arg) + "'");
    }
  }
  return o;
}

std::string UsageText() {
  return R"(Usage: reposa-server [--listen HOST:PORT] [--db FILE] [--accounts FILE]
                     [--keepalive SECONDS]
       reposa-server [--db FILE] account add NAME
       reposa-server [--db FILE] account remove NAME

A small local TOC2 server, for trying Reposa on one machine and for tests.
It is not a public service: it sends passwords over the connection as the
protocol does, and is built to be simple rather than hardened. Keep it on
loopback.

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

account add NAME asks for the password on the terminal (or reads its first
line from standard input) and registers NAME; account remove NAME deletes the
account and its lists. Restart a running server to apply either.

With no registered account the server is open: any screen name signs on with
any password. With one, only registered accounts sign on. Buddy lists, groups,
block and permit lists, privacy modes and passwords (as Argon2id hashes) are
kept in the database. The log goes to standard error and never shows a
password.
)";
}

}  // namespace reposa::server
