#pragma once

// The command line of reposa-server: one of the program's own files, beside
// main.cpp. The limits' options come from the list in server_limits.h.

#include <optional>

#include <string>
#include <string_view>
#include <vector>
#include "server_options.h"

namespace reposa::server {

struct Options {
  ServerOptions server;  // host, port, TLS, send path and limits
  std::optional<std::string> accountsFile;
  std::string database;  // empty: DefaultDatabasePath()
  // "account add NAME" or "account remove NAME": manage, then exit.
  std::string accountAction;
  std::string accountName;
  // Read from the command line before they are checked together.
  bool listenGiven = false;
  bool tlsGiven = false;
  TlsListen tlsListen;
  bool help = false;
  bool version = false;
};

// Throws std::invalid_argument saying what is wrong.
Options ParseOptions(const std::vector<std::string>& args);
std::string UsageText();

}  // namespace reposa::server
