#include "options.h"

#include <charconv>
#include <cstdint>
#include <functional>
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

// An address to listen on, by the hosts' one address rule; port 0 picks a
// free one. `option` names it in a refusal.
kez::host::Address ListenAddress(std::string_view option, std::string_view text) {
  try {
    return kez::host::ParseAddress(text, {.anyPort = true, .tls = true});
  } catch (const kez::host::AddressError& e) {
    throw std::invalid_argument(std::string(option) + " wants HOST:PORT, not '" +
                                std::string(text) + "' (" + e.what() + ")");
  }
}

// --listen HOST:PORT: the plain port.
void SetListenAddress(std::string_view text, ServerOptions& server) {
  const kez::host::Address a = ListenAddress("--listen", text);
  if (a.tls)
    throw std::invalid_argument("--listen is the plain port; TLS listens with --tls-listen");
  server.host = a.host;
  server.port = std::to_string(a.port);
}

// --tls-listen [tls://]HOST:PORT.
void SetTlsListenAddress(std::string_view text, TlsListen& tls) {
  const kez::host::Address a = ListenAddress("--tls-listen", text);
  tls.host = a.host;
  tls.port = std::to_string(a.port);
}

std::string NonEmpty(std::string_view option, std::string value) {
  if (value.empty()) throw std::invalid_argument(std::string(option) + " needs a file name");
  return value;
}

// The limit whose option `arg` names ("--max-connections"), or null.
const LimitInfo* LimitOption(std::string_view arg) {
  if (!arg.starts_with("--")) return nullptr;
  for (const LimitInfo& limit : kLimitList)
    if (!limit.option.empty() && limit.option == arg.substr(2)) return &limit;
  return nullptr;
}

std::string_view Wants(LimitUnit unit) {
  switch (unit) {
    case LimitUnit::Count:
      return "a count";
    case LimitUnit::Bytes:
      return "bytes";
    case LimitUnit::Seconds:
      return "seconds";
    case LimitUnit::Millis:
      return "milliseconds";
  }
  return "a number";
}

void SetFromOption(Limits& limits, const LimitInfo& limit, const std::string& value) {
  std::uint64_t n = 0;
  if (!ParseInt<std::uint64_t>(value, limit.low, limit.high, n))
    throw std::invalid_argument(
        "--" + std::string(limit.option) + " wants " + std::string(Wants(limit.unit)) + " from " +
        std::to_string(limit.low) + " to " + std::to_string(limit.high) + ", not '" + value + "'");
  SetLimit(limits, limit.name, n);
}

// A command and its argument, from args[i] on: "account add|password|
// remove NAME", "account list", "status" or "backup FILE".
void ReadCommand(Options& o, const std::vector<std::string>& args, std::size_t& i) {
  const std::string& first = args[i];
  const std::string second = i + 1 < args.size() ? args[i + 1] : std::string();
  if (first == "status") {
    o.command = first;
  } else if (first == "backup") {
    if (second.empty()) throw std::invalid_argument("backup wants the FILE to write");
    o.command = first;
    o.argument = second;
    i += 1;
  } else if (second == "list") {
    o.command = "account list";
    i += 1;
  } else if ((second == "add" || second == "remove" || second == "password") &&
             i + 2 < args.size()) {
    o.command = "account " + second;
    o.argument = args[i + 2];
    i += 2;
  } else {
    throw std::invalid_argument("account wants add NAME, password NAME, remove NAME or list");
  }
}

// --metrics [HOST:]PORT: on loopback unless a host is written.
void SetMetricsAddress(std::string_view text, ServerOptions& server) {
  const bool portOnly = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  const std::string full = portOnly ? "127.0.0.1:" + std::string(text) : std::string(text);
  try {
    const kez::host::Address a = kez::host::ParseAddress(full, {.anyPort = true});
    server.metricsHost = a.host;
    server.metricsPort = std::to_string(a.port);
  } catch (const kez::host::AddressError& e) {
    throw std::invalid_argument("--metrics wants [HOST:]PORT, not '" + std::string(text) + "' (" +
                                e.what() + ")");
  }
}

// The TLS options, gathered until all are read; false when `arg` is none.
bool ReadTlsOption(Options& o, std::string_view arg, const std::function<std::string()>& take) {
  if (arg == "--tls-listen") {
    SetTlsListenAddress(take(), o.tlsListen);
  } else if (arg == "--tls-cert") {
    o.tlsListen.certFile = NonEmpty(arg, take());
  } else if (arg == "--tls-key") {
    o.tlsListen.keyFile = NonEmpty(arg, take());
  } else {
    return false;
  }
  o.tlsGiven = true;
  return true;
}

// The options that are not limits; `take` gives an option its value.
void ReadOption(Options& o, std::string_view arg, const std::function<std::string()>& take) {
  if (ReadTlsOption(o, arg, take)) return;
  if (arg == "--help" || arg == "-h") {
    o.help = true;
  } else if (arg == "--version") {
    o.version = true;
  } else if (arg == "--listen") {
    SetListenAddress(take(), o.server);
    o.listenGiven = true;
  } else if (arg == "--accounts") {
    o.accountsFile = take();
    if (o.accountsFile->empty()) throw std::invalid_argument("--accounts needs a file name");
  } else if (arg == "--db") {
    o.database = take();
    if (o.database.empty()) throw std::invalid_argument("--db needs a file name");
  } else if (arg == "--control") {
    o.control = take();
    if (o.control.empty()) throw std::invalid_argument("--control needs a file name");
  } else if (arg == "--metrics") {
    SetMetricsAddress(take(), o.server);
  } else if (arg == "--no-io-uring") {
    o.server.ioUring = false;
  } else {
    throw std::invalid_argument("unknown option '" + std::string(arg) + "'");
  }
}

// TLS needs all three of its options; given alone it replaces the plain
// port, beside --listen it joins it.
void CheckTls(Options& o) {
  if (!o.tlsGiven) return;
  const TlsListen& tls = o.tlsListen;
  if (tls.port.empty() || tls.certFile.empty() || tls.keyFile.empty())
    throw std::invalid_argument(
        "TLS needs --tls-listen HOST:PORT, --tls-cert FILE and --tls-key FILE");
  o.server.tls = tls;
  o.server.plain = o.listenGiven;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::optional<std::string> inlineValue;  // of "--name=value"
    if (const std::size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      inlineValue = std::string(arg.substr(eq + 1));
      arg = arg.substr(0, eq);
    }
    auto take = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw std::invalid_argument(std::string(arg) + " needs a value");
      return args[++i];
    };
    if ((arg == "account" || arg == "status" || arg == "backup") && o.command.empty()) {
      ReadCommand(o, args, i);
    } else if (const LimitInfo* limit = LimitOption(arg)) {
      SetFromOption(o.server.limits, *limit, take());
    } else {
      ReadOption(o, arg, take);
    }
  }
  CheckTls(o);
  return o;
}

namespace {

std::string_view Metavar(LimitUnit unit) {
  switch (unit) {
    case LimitUnit::Bytes:
      return "BYTES";
    case LimitUnit::Seconds:
      return "SECONDS";
    case LimitUnit::Millis:
      return "MS";
    case LimitUnit::Count:
      break;
  }
  return "N";
}

// One limit in the usage text: the option at the margin, its reason and
// default wrapped in a column of their own.
std::string UsageLine(const LimitInfo& limit) {
  constexpr std::size_t kColumn = 31;
  constexpr std::size_t kWidth = 79 - kColumn;
  const std::string indent(kColumn, ' ');
  const std::string option =
      "  --" + std::string(limit.option) + " " + std::string(Metavar(limit.unit));
  std::string text = option.size() + 2 <= kColumn
                         ? option + std::string(kColumn - option.size(), ' ')
                         : option + "\n" + indent;
  const std::string described =
      std::string(limit.reason) + " (" + std::to_string(limit.value) + ")";
  std::size_t used = 0;
  for (std::string_view words = described; !words.empty();) {
    const std::size_t space = words.find(' ');
    const std::string_view word = words.substr(0, space);
    words.remove_prefix(space == std::string_view::npos ? words.size() : space + 1);
    if (used > 0 && used + 1 + word.size() > kWidth) {
      text += "\n" + indent;
      used = 0;
    } else if (used > 0) {
      text += ' ';
      ++used;
    }
    text += word;
    used += word.size();
  }
  return text + "\n";
}

}  // namespace

std::string UsageText() {
  std::string text = R"(Usage: reposa-server [OPTION VALUE]...
  or:  reposa-server [--db FILE] [--control FILE] account add|password|remove NAME
  or:  reposa-server [--db FILE] [--control FILE] account list
  or:  reposa-server [--db FILE] [--control FILE] status
  or:  reposa-server [--db FILE] [--control FILE] backup FILE

A TOC2 server for one machine: one loop, fair turns for every connection,
and bounded memory, so one slow or hostile client never holds up the others.

Options:
  --listen HOST:PORT   where to listen in plain (default 127.0.0.1:5190; port 0
                       picks a free one; IPv6 as [::1]:5190)
  --tls-listen HOST:PORT
                       where to listen over TLS (1.2 or 1.3), with the two
                       options below; without --listen, instead of the plain
                       port. Clients use port 5191 for tls://HOST.
  --tls-cert FILE      the server's certificate, PEM, followed by the chain
                       of its authority's certificates
  --tls-key FILE       its private key, PEM (chmod 600). SIGHUP reads both
                       files again for new connections; a file that cannot
                       be used is logged and the pair in use kept
  --db FILE            the database of accounts and their lists (default
                       $XDG_DATA_HOME/reposa/server.db, else
                       ~/.local/share/reposa/server.db); :memory: keeps
                       nothing after the server stops
  --accounts FILE      lines "screenname:password"; those not yet registered
                       are added to the database at start (use account add
                       to set a new password). Keep the file private
                       (chmod 600).
  --control FILE       the control socket, through which the commands below
                       change the running server (default: the database's
                       name with .sock added; none for :memory:). Mode 0600:
                       only this user may use it.
  --metrics [HOST:]PORT
                       serve Prometheus metrics at http://HOST:PORT/metrics
                       (off by default; 127.0.0.1 unless a host is given)
  --no-io-uring        send with send() alone, even where io_uring is built
                       in and the kernel allows it
  --help               this text
  --version            the version

Limits (defaults in brackets; the others, fixed when built, are listed in
docs/limits.md):
)";
  for (const LimitInfo& limit : kLimitList)
    if (!limit.option.empty()) text += UsageLine(limit);
  return text + R"(
At start the limit of open files is raised as far as the system allows for
--max-connections.

Commands: each goes to the running server through its control socket, and
takes effect at once without dropping anyone; when no server runs with the
database, it works on the database file itself.
  account add NAME       register NAME, or give it a new password; the
                         password is asked for on the terminal (or is the
                         first line of standard input), never taken from the
                         command line
  account password NAME  a new password for a registered NAME; its session
                         stays signed on
  account remove NAME    delete NAME, its lists and the messages kept for it;
                         its session is signed off
  account list           every account, when it last signed on, and whether
                         it is registered
  status                 sessions, connections by state, uptime; exit
                         status 3 when no server runs with the database
  backup FILE            a consistent copy of the database in FILE, a new
                         file, made while the server goes on

SIGHUP reads the TLS certificate and key again for new connections; without
TLS it is logged and there is nothing to re-read.

With no registered account the server is open: any screen name signs on with
any password, and no password can be set. With one, only registered accounts
sign on. Buddy lists, groups, block and permit lists, privacy modes and
passwords (as Argon2id hashes) are kept in the database; away messages,
profiles and rooms last as long as the server runs. An IM to a registered
account that is not signed on is kept in the database too, within the
--offline-* limits, and handed over after its next sign-on; 0 for
--offline-messages keeps none. The log goes to standard error, never blocks
the server (lines it cannot write are counted) and never shows a password.
)";
}

}  // namespace reposa::server
