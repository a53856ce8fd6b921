#pragma once

// What the server is told at start: where to listen, and the limits that
// keep one client from costing the others. Each limit is a command-line
// option (see UsageText).

#include <chrono>
#include <cstddef>
#include <string>

namespace reposa::server {

struct ServerOptions {
  std::string host = "127.0.0.1";
  std::string port = "5190";                   // "0": any free port
  std::chrono::milliseconds keepAlive{60000};  // 0: none sent
  // A connection that has not signed on by then is closed.
  std::chrono::milliseconds signOnTimeout{10000};
  // How long a closing connection waits for the client to close its side.
  std::chrono::milliseconds linger{2000};
  // A closing connection is gone by then, whatever it still has queued.
  std::chrono::milliseconds closeTimeout{5000};
  // A signed-on session from which no whole frame came for this many
  // keep-alive intervals is closed (0: never). A frame left half-sent counts
  // as nothing.
  int idleKeepAlives = 3;
  // A client that lets more than this pile up unread is dropped.
  std::size_t maxPendingOutput = 4 * 1024 * 1024;
  // Output queued for all clients together; past it the largest backlog is
  // dropped first.
  std::size_t maxTotalOutput = 256 * 1024 * 1024;
  std::size_t maxConnections = 10000;
  // Connections that have not signed on yet, in all and from one address.
  std::size_t maxSigningOn = 256;
  std::size_t maxSigningOnPerAddress = 8;
  // Connections from one address, signed on or not.
  std::size_t maxPerAddress = 64;
  // Frames of one connection handled in one turn of the loop; the rest wait.
  std::size_t framesPerTurn = 16;
};

}  // namespace reposa::server
