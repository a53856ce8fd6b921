#pragma once

// What the server is told at start: where to listen, which send path to
// use, and its limits (server_limits.h), each of which a command-line option may
// change (see UsageText).

#include <string>

#include "server_limits.h"

namespace reposa::server {

struct ServerOptions {
  std::string host = "127.0.0.1";
  std::string port = "5190";  // "0": any free port
  // Hand a turn's sends to the kernel in one batch where io_uring is built
  // in and allowed; false: send() alone.
  bool ioUring = true;
  Limits limits;
};

}  // namespace reposa::server
