#include "kez/KezTOCSock.h"

namespace kez {

namespace {
// Stands in when the host gives no listener, so raising never checks for null.
KezTOCSockEvents& SilentListener() {
  static KezTOCSockEvents silent;
  return silent;
}
}  // namespace

KezTOCSock::KezTOCSock(std::unique_ptr<Socket> sock, KezTOCSockEvents* events)
    : sock_(std::move(sock)), events_(events ? events : &SilentListener()) {
  sock_->SetListener(this);
}

KezTOCSock::~KezTOCSock() {
  // Routines still on the stack (a host deleting us from inside an event)
  // see this and return without touching members.
  *alive_ = false;
  sock_->SetListener(nullptr);
}

void KezTOCSock::SetEvents(KezTOCSockEvents* events) {
  events_ = events ? events : &SilentListener();
}

void KezTOCSock::ClearChatTable() {
  for (ChatEntry& entry : chatTable_) entry = ChatEntry{};
}

}  // namespace kez
