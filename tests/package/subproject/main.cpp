// Links the control, its posix socket and the hosts' library from a parent
// project's build.
#include <memory>

#include "kez/KezTOCSock.h"
#include "kez/host/Address.h"
#include "kez/posix/EventLoop.h"
#include "kez/posix/PosixSocket.h"

int main() {
  kez::posix::EventLoop loop;
  kez::KezTOCSock control(std::make_unique<kez::posix::PosixSocket>(loop));
  const kez::host::Address local = kez::host::ParseAddress("127.0.0.1:5190", {});
  return control.LastChatID() == 0 && local.port == kez::host::kLocalServerPort ? 0 : 1;
}
