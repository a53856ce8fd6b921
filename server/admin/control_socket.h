#pragma once

// The control socket: a Unix socket through which the host changes a
// running server (control_requests.h says what it answers). It lives beside
// the database (FILE.sock) unless named; its mode is 0600, and each
// connection's peer is checked to run as the server's own user.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "admin/control_requests.h"
#include "admin/request_server.h"
#include "kez/posix/EventLoop.h"
#include "server_limits.h"

namespace reposa::server {

// Beside the database; empty for a database in memory, which has no place.
std::string DefaultControlSocketPath(const std::string& database);
// Whether `path` fits a Unix socket's name.
bool FitsSocketName(const std::string& path);
// Whether the peer of a connected Unix socket runs as this process's user.
bool PeerIsOwner(int fd);

class ControlSocket {
 public:
  ControlSocket(kez::posix::EventLoop& loop, const Limits& limits, ControlRequests& requests);
  // Removes the socket's file, if it is still the one this made.
  ~ControlSocket();
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Listens at `path`. A socket left there by a server that is gone is
  // replaced; one that answers means another server uses it, and like
  // anything else in the way is refused: std::runtime_error says why.
  void Start(const std::string& path);

 private:
  ControlRequests& requests_;
  RequestServer server_;
  std::string path_;
  ino_t inode_ = 0;
};

// What the command line uses: the answer line of the server listening at
// `path`, or nothing when no server listens there (no socket, or a socket a
// stopped server left). Throws std::runtime_error when one listens but
// cannot be asked (another user's, say) or does not answer within `bound`.
std::optional<std::string> AskRunningServer(const std::string& path, const std::string& request,
                                            std::optional<std::chrono::milliseconds> bound);

}  // namespace reposa::server
