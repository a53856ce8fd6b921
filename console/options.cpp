#include "options.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace reposa::console {

namespace {

// Strict decimal: an optional minus sign and digits, nothing else.
std::optional<long long> ParseDecimal(std::string_view text) {
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

constexpr std::size_t kMaxJoins = 64;

std::string_view Trim(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

}  // namespace

namespace {

std::string LineText(std::size_t number) {
  return "--config: line " + std::to_string(number);
}

// "[account NAME]": the name, trimmed, is what lines and calls name it by.
std::string SectionName(std::string_view line, std::size_t number) {
  constexpr std::string_view kHead = "[account";
  std::string_view name;
  if (line.starts_with(kHead) && line.ends_with(']') && line.size() > kHead.size() + 1 &&
      (line[kHead.size()] == ' ' || line[kHead.size()] == '\t'))
    name = Trim(line.substr(kHead.size(), line.size() - kHead.size() - 1));
  if (name.empty()) throw UsageError(LineText(number) + ": a section is \"[account NAME]\"");
  return std::string(name);
}

std::string LineArgument(std::string_view line, std::size_t number) {
  const std::size_t eq = line.find('=');
  const std::string_view name = Trim(line.substr(0, eq));
  if (name.empty() || name.starts_with('-') || name == "config")
    throw UsageError(LineText(number) + " does not name an option");
  std::string arg = "--" + std::string(name);
  if (eq != std::string_view::npos) (arg += '=') += Trim(line.substr(eq + 1));
  return arg;
}

void AddSection(ConfigFile& file, std::string name, std::size_t number) {
  for (const ConfigFile::Section& section : file.accounts)
    if (section.name == name)
      throw UsageError(LineText(number) + ": a second account named \"" + name + "\"");
  if (file.accounts.size() >= kMaxAccounts)
    throw UsageError(LineText(number) + ": more than " + std::to_string(kMaxAccounts) +
                     " accounts");
  file.accounts.push_back({std::move(name), {}});
}

}  // namespace

ConfigFile ParseConfig(std::string_view text) {
  ConfigFile file;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      AddSection(file, SectionName(line, number), number);
      continue;
    }
    (file.accounts.empty() ? file.shared : file.accounts.back().args)
        .push_back(LineArgument(line, number));
  }
  return file;
}

JoinTarget ParseJoin(std::string_view text) {
  JoinTarget target;
  std::string_view room = text;
  if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    room = text.substr(0, colon);
    const auto value = ParseDecimal(text.substr(colon + 1));
    if (!value || *value < std::numeric_limits<int16_t>::min() ||
        *value > std::numeric_limits<int16_t>::max())
      throw UsageError(
          "--join: the exchange after the last ':' must be a number from -32768 to 32767");
    target.exchange = static_cast<int16_t>(*value);
  }
  if (room.empty()) throw UsageError("--join: the room name is empty");
  target.room = std::string(room);
  return target;
}

namespace {

kez::host::Address ParseServer(std::string_view text) {
  try {
    return kez::host::ParseAddress(text, {.defaultPort = kez::host::kLocalServerPort,
                                          .defaultTlsPort = kez::host::kTlsServerPort,
                                          .tls = true});
  } catch (const kez::host::AddressError& e) {
    throw UsageError(std::string("--server: ") + e.what());
  }
}

// One option: its name, whether it takes a value, and what it sets.
struct OptionRow {
  std::string_view name;
  bool takesValue;
  void (*apply)(Options& options, const std::string& value);
  bool perAccount = true;  // false: it is the whole program's
};

constexpr OptionRow kOptionRows[] = {
    {"--server", true,
     [](Options& o, const std::string& v) {
       o.server = ParseServer(v);
       o.serverText = v;
     }},
    {"--tls", false, [](Options& o, const std::string&) { o.tls = true; }},
    {"--ca-file", true,
     [](Options& o, const std::string& v) {
       if (v.empty()) throw UsageError("--ca-file: the file name is empty");
       o.caFile = v;
     }},
    {"--auth-server", true, [](Options& o, const std::string& v) { o.authServer = v; }},
    {"--screen-name", true,
     [](Options& o, const std::string& v) {
       if (v.empty()) throw UsageError("--screen-name: the name is empty");
       o.screenName = v;
     }},
    {"--password-file", true, [](Options& o, const std::string& v) { o.passwordFile = v; }},
    {"--join", true,
     [](Options& o, const std::string& v) {
       if (o.joins.size() >= kMaxJoins) throw UsageError("--join: at most 64 rooms");
       o.joins.push_back(ParseJoin(v));
     }},
    {"--config", true, [](Options& o, const std::string& v) { o.configFile = v; }},
    {"--reconnect", false, [](Options& o, const std::string&) { o.reconnect = true; }},
    {"--output-limit", true,
     [](Options& o, const std::string& v) {
       const auto bytes = ParseDecimal(v);
       if (!bytes || *bytes < 4096 || *bytes > (1LL << 32))
         throw UsageError("--output-limit: a number of bytes from 4096 to 4294967296");
       o.outputLimit = static_cast<std::size_t>(*bytes);
     },
     false},
    {"--packets", false, [](Options& o, const std::string&) { o.packets = true; }},
    {"--help", false, [](Options& o, const std::string&) { o.help = true; }, false},
    {"-h", false, [](Options& o, const std::string&) { o.help = true; }, false},
    {"--version", false, [](Options& o, const std::string&) { o.version = true; }, false},
};

const OptionRow* FindRow(std::string_view name) {
  for (const OptionRow& row : kOptionRows)
    if (row.name == name) return &row;
  return nullptr;
}

// Refuses what is not an option, without echoing a password given as one.
[[noreturn]] void RefuseArgument(const std::string& name) {
  if (name == "--password" || name == "-p")
    throw UsageError(
        "a password on the command line is visible to every user of the machine; "
        "use --password-file FILE, or let the program ask on the terminal");
  if (name.starts_with('-')) throw UsageError("unknown option " + name);
  throw UsageError("unexpected argument (this program takes only options)");
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (const std::size_t eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    const OptionRow* row = FindRow(name);
    if (!row) RefuseArgument(name);
    if (!row->takesValue && inlineValue) throw UsageError(name + " takes no value");
    std::string value;
    if (row->takesValue && inlineValue) {
      value = *inlineValue;
    } else if (row->takesValue) {
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      value = args[++i];
    }
    row->apply(options, value);
  }
  // --tls is tls:// in front of the server's address, wherever it stands.
  if (options.tls && !options.server.tls)
    options.server = ParseServer(
        "tls://" + options.serverText.value_or(std::string(kez::host::kLocalServerHost)));
  // With --config the file's options still have to be added.
  if (!options.configFile) CheckOptions(options);
  return options;
}

void CheckOptions(const Options& options) {
  if (!options.caFile.empty() && !options.server.tls)
    throw UsageError("--ca-file needs --tls or a tls:// server");
  if (options.passwordFile && !options.screenName)
    throw UsageError("--password-file needs --screen-name");
  if (options.reconnect && !options.screenName) throw UsageError("--reconnect needs --screen-name");
}

namespace {

// One section's options, or a usage error that names its account.
Options SectionOptions(const ConfigFile& file, const ConfigFile::Section& section,
                       const std::vector<std::string>& commandLine) {
  const std::string where = "--config: [account " + section.name + "]: ";
  for (const std::string& arg : section.args) {
    const std::string name = arg.substr(0, arg.find('='));
    if (const OptionRow* row = FindRow(name); row && !row->perAccount)
      throw UsageError(where + name.substr(2) +
                       " is the whole program's; give it before the first section");
  }
  std::vector<std::string> args = file.shared;
  args.insert(args.end(), section.args.begin(), section.args.end());
  args.insert(args.end(), commandLine.begin(), commandLine.end());
  try {
    Options options = ParseOptions(args);
    CheckOptions(options);
    if (!options.screenName) throw UsageError("no screen-name");
    if (file.accounts.size() > 1 && !options.passwordFile)
      throw UsageError("no password-file (with several accounts none is asked for)");
    return options;
  } catch (const UsageError& e) {
    throw UsageError(where + e.what());
  }
}

}  // namespace

std::vector<Account> ConfigAccounts(const ConfigFile& file,
                                    const std::vector<std::string>& commandLine) {
  if (file.accounts.empty()) {
    std::vector<std::string> args = file.shared;
    args.insert(args.end(), commandLine.begin(), commandLine.end());
    Options options = ParseOptions(args);
    CheckOptions(options);
    return {Account{"", std::move(options)}};
  }
  const Options own = ParseOptions(commandLine);
  if (file.accounts.size() > 1 && (own.screenName || own.passwordFile))
    throw UsageError(
        "--screen-name and --password-file belong in the sections of a --config file "
        "with several accounts");
  std::vector<Account> accounts;
  accounts.reserve(file.accounts.size());
  for (const ConfigFile::Section& section : file.accounts)
    accounts.push_back(Account{section.name, SectionOptions(file, section, commandLine)});
  return accounts;
}

std::string UsageText(std::string_view program) {
  std::string text = "Usage: ";
  text += program;
  text += R"( [options]

Hosts one TOC2 session. Reads one JSON object per line on standard input, each
one call on the session, and writes every event, result and error as one JSON
object per line on standard output. End of input keeps the session running;
SIGINT or SIGTERM ends it.

Options:
  --server [tls://]HOST[:PORT]
                         TOC server to sign on to (default 127.0.0.1:5190);
                         tls:// signs on over TLS, on port 5191 unless given
  --tls                  the same as tls:// in front of the server's address
  --ca-file FILE         verify the TLS server with the authorities in FILE
                         (PEM) instead of the system's store
  --auth-server HOST     authorizer host named in the login (default: the control's)
  --screen-name NAME     sign on at start
  --password-file FILE   the password is the first line of FILE; without this
                         option the password is asked for on the terminal
  --join ROOM[:EXCHANGE]
                         join ROOM once signed on (exchange 4 by default);
                         may be given for several rooms
  --config FILE          options from FILE, one "name = value" per line
                         (screen-name = Demo User); the command line adds to
                         them. A line "[account NAME]" starts the options of
                         one account: FILE may keep up to 1000 accounts on one
                         connection each, every one with the lines before the
                         first such line, then its own, then the command line
  --reconnect            sign on again whenever the connection is lost, after
                         1 s, doubling up to 5 min (each wait +-20 %), and join
                         the rooms again; a wrong name or password or a blocked
                         sign-on ends the program with status 3
  --packets              also print every received frame (IncomingPacket)
  --output-limit BYTES   output kept for a reader that does not keep up
                         (default 8 MiB); past it the oldest events are dropped
  --help                 show this text
  --version              show the version

Input lines:
  {"call": "SendIM", "args": ["buddy", "hello", false]}
                         a method of the control, its arguments in order
  {"get": "LastChatID"}  read the property
  {"set": "LastChatID", "value": 7}
                         write it
Text is a JSON string whose characters U+0000..U+00FF stand for bytes 0..255.

Several accounts (a --config file with more than one [account NAME]):
  every account needs its screen-name and password-file; output-limit is the
  whole program's and goes before the first section. Each event, result,
  error and reconnecting notice of an account carries "account": "NAME", and
  each input line names its account the same way:
  {"account": "bot", "call": "SendIM", "args": ["buddy", "hello", false]}
  Accounts sign on, fail and reconnect each on its own; with --reconnect the
  program ends with status 3 once every account has been refused.

Notice lines of the console's own:
  {"notice": "reconnecting", "in": 2.1, "attempt": 3}   (--reconnect)
  {"notice": "dropped", "lines": 120}   event lines lost to a stalled reader
)";
  return text;
}

}  // namespace reposa::console
