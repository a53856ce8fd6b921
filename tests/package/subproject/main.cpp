// Links the control and its posix socket from a parent project's build.
#include <memory>

#include "kez/KezTOCSock.h"
#include "kez/posix/EventLoop.h"
#include "kez/posix/PosixSocket.h"

int main() {
  kez::posix::EventLoop loop;
  kez::KezTOCSock control(std::make_unique<kez::posix::PosixSocket>(loop));
  return control.LastChatID() == 0 ? 0 : 1;
}
