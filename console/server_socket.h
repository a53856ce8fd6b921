#pragma once

#include <memory>
#include <string>

#include "kez/Socket.h"
#include "kez/host/Address.h"
#include "kez/posix/EventLoop.h"

namespace reposa::console {

// The socket an account signs on with: plain TCP, or TLS for a tls://
// server, verified with `caFile` (empty: the system's store).
std::unique_ptr<kez::Socket> ServerSocket(kez::posix::EventLoop& loop,
                                          const kez::host::Address& server,
                                          const std::string& caFile);

}  // namespace reposa::console
