// The core's public surface: each call goes to its state in core.h.

#include "core.h"

namespace kez {

namespace {
// Stands in when the host gives no listener, so raising never checks for null.
KezTOCSockEvents& SilentListener() {
  static KezTOCSockEvents silent;
  return silent;
}
}  // namespace

SessionCore::Impl::Impl(KezTOCSockEvents* events) : events_(events ? events : &SilentListener()) {}

SessionCore::Impl::~Impl() {
  // Routines still on the stack (a host deleting us from inside an event)
  // see this and return without touching members.
  *alive_ = false;
}

void SessionCore::Impl::SetEvents(KezTOCSockEvents* events) {
  events_ = events ? events : &SilentListener();
}

void SessionCore::Impl::ClearChatTable() {
  for (ChatEntry& entry : chatTable_) entry = ChatEntry{};
}

SessionCore::SessionCore(KezTOCSockEvents* events) : impl_(std::make_unique<Impl>(events)) {}
SessionCore::~SessionCore() = default;

void SessionCore::SetEvents(KezTOCSockEvents* events) {
  impl_->SetEvents(events);
}
void SessionCore::SetSend(std::function<void(std::string_view)> send) {
  impl_->send_ = std::move(send);
}
void SessionCore::SetClose(std::function<void()> close) {
  impl_->close_ = std::move(close);
}
std::string SessionCore::TakeOutput() {
  return std::exchange(impl_->output_, {});
}

void SessionCore::Opened() {
  impl_->Opened();
}
void SessionCore::Receive(std::string_view bytes) {
  impl_->Receive(bytes);
}
void SessionCore::ReceiveFrom(void (*append)(void* reader, std::string& buffer), void* reader) {
  impl_->ReceiveFrom(append, reader);
}
void SessionCore::Failed(const std::string& description) {
  impl_->Failed(description);
}
void SessionCore::PeerClosed() {
  impl_->PeerClosed();
}
SessionState SessionCore::State() const {
  return impl_->state_;
}
bool SessionCore::IsOpen() const {
  return impl_->open_;
}
const std::string& SessionCore::ServerHost() const {
  return impl_->tocServerHost_;
}
int32_t SessionCore::ServerPort() const {
  return impl_->serverPort_;
}
const std::string& SessionCore::ScreenName() const {
  return impl_->screenName_;
}
std::size_t SessionCore::BufferedBytes() const {
  return impl_->rx_.size() - impl_->rxPos_;
}
const std::array<ChatEntry, kChatTableSize>& SessionCore::Chats() const {
  return impl_->chatTable_;
}

int32_t SessionCore::LastChatID() const {
  return impl_->lastChatID_;
}
void SessionCore::SetLastChatID(int32_t value) {
  impl_->lastChatID_ = value;
}

void SessionCore::Login(std::string_view UserName, std::string_view Password,
                        std::string_view TOCServer, int32_t Port, std::string_view AuthServer) {
  impl_->Login(UserName, Password, TOCServer, Port, AuthServer);
}
void SessionCore::LogOff() {
  impl_->LogOff();
}
void SessionCore::SendPacket(int16_t intChannel, std::string_view strData) {
  impl_->SendPacket(intChannel, strData);
}

}  // namespace kez
