#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kez/host/Address.h"
#include "kez/host/Rooms.h"

namespace reposa::console {

using kez::host::JoinTarget;

struct Options {
  kez::host::Address server = kez::host::LocalServer();
  // --tls: the server is a tls:// one whatever --server says; --ca-file: the
  // authority to verify it with instead of the system's store.
  bool tls = false;
  std::string caFile;
  std::optional<std::string> serverText;  // --server as given
  std::string authServer;                 // empty: the control's own default
  std::optional<std::string> screenName;
  std::optional<std::string> passwordFile;
  std::vector<JoinTarget> joins;  // --join, each time it is given
  std::optional<std::string> configFile;
  bool packets = false;
  bool reconnect = false;
  std::size_t outputLimit = 8 * 1024 * 1024;  // bytes of output waiting for a slow reader
  bool help = false;
  bool version = false;
};

// A command line that cannot be used; what() says why, for standard error.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// `args` excludes the program name. Accepts "--name value" and "--name=value".
// Options that need one another are checked unless --config is given; then
// CheckOptions follows once the file's options are in.
Options ParseOptions(const std::vector<std::string>& args);
void CheckOptions(const Options& options);

// A --config file's lines as options: "name = value" or "name" per line,
// '#' comments and blank lines skipped; "screen-name = Demo User" becomes
// "--screen-name=Demo User". A file cannot name another file. Lines before
// the first "[account NAME]" header are shared by every account; each
// header's lines belong to that account.
struct ConfigFile {
  struct Section {
    std::string name;
    std::vector<std::string> args;
  };
  std::vector<std::string> shared;
  std::vector<Section> accounts;
};
ConfigFile ParseConfig(std::string_view text);

// One process keeps at most this many accounts: each holds a connection, and
// the default limit of open files is 1024.
inline constexpr std::size_t kMaxAccounts = 1000;

// One account the program keeps: its name as configured (empty for the one
// account of a command line or a file without sections) and its options.
struct Account {
  std::string name;
  Options options;
};

// The accounts of a --config file, each with the shared lines, then its own,
// then `commandLine` (which, as for one account, adds to and overrides the
// file for every account). Checked as a whole: names unique, each with a
// screen name, a password file when there are several, no option of the
// whole program inside a section.
std::vector<Account> ConfigAccounts(const ConfigFile& file,
                                    const std::vector<std::string>& commandLine);

// ROOM or ROOM:EXCHANGE; the last colon separates the exchange.
JoinTarget ParseJoin(std::string_view text);

std::string UsageText(std::string_view program);

}  // namespace reposa::console
