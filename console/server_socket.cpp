#include "server_socket.h"

#include "kez/posix/PosixSocket.h"
#include "kez/posix/TlsSocket.h"

namespace reposa::console {

std::unique_ptr<kez::Socket> ServerSocket(kez::posix::EventLoop& loop,
                                          const kez::host::Address& server,
                                          const std::string& caFile) {
  if (server.tls) return std::make_unique<kez::posix::TlsSocket>(loop, caFile);
  return std::make_unique<kez::posix::PosixSocket>(loop);
}

}  // namespace reposa::console
