#pragma once

// What the server is told at start: where to listen, in plain and over TLS,
// which send path to use, and its limits (server_limits.h), each of which a
// command-line option may change (see UsageText).

#include <optional>
#include <string>

#include "server_limits.h"

namespace reposa::server {

// Where to listen over TLS, and the certificate (a chain, PEM) and key.
struct TlsListen {
  std::string host;
  std::string port;
  std::string certFile;
  std::string keyFile;
};

struct ServerOptions {
  std::string host = "127.0.0.1";
  std::string port = "5190";  // "0": any free port
  // Whether to listen in plain at host:port; off when only TLS is asked for.
  bool plain = true;
  std::optional<TlsListen> tls;
  // Hand a turn's sends to the kernel in one batch where io_uring is built
  // in and allowed; false: send() alone.
  bool ioUring = true;
  // The control socket's path; empty: none.
  std::string control;
  // Where the metrics are served; an empty port: nowhere.
  std::string metricsHost = "127.0.0.1";
  std::string metricsPort;
  Limits limits;
};

}  // namespace reposa::server
