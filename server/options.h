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
  // A command for the running server, or for the database when none runs,
  // then exit: "account add", "account password", "account remove" (each
  // with a NAME), "account list", "status", "backup" (with a FILE); empty:
  // serve.
  std::string command;
  std::string argument;  // the command's NAME or FILE
  std::string control;   // --control; empty: beside the database
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
