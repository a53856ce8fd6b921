// The facade: the session core joined to the host's Socket. The socket's
// notifications go to the core; the core's bytes and close requests go to
// the socket. Everything else is the core's.

#include "kez/KezTOCSock.h"

#include <exception>

namespace kez {

class KezTOCSock::Impl final : private SocketListener {
 public:
  Impl(std::unique_ptr<Socket> sock, KezTOCSockEvents* events)
      : sock_(std::move(sock)), core(events) {
    sock_->SetListener(this);
    core.SetSend([this](std::string_view bytes) {
      if (!sock_->IsConnected()) return;
      try {
        sock_->SendData(bytes);
      } catch (const std::exception&) {
        // Skip and continue: a refused send is not reported.
      }
    });
    core.SetClose([this] { sock_->Close(); });
  }
  ~Impl() { sock_->SetListener(nullptr); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void Login(std::string_view UserName, std::string_view Password, std::string_view TOCServer,
             int32_t Port, std::string_view AuthServer) {
    core.Login(UserName, Password, TOCServer, Port, AuthServer);
    try {
      sock_->Close();
    } catch (const std::exception&) {
    }
    try {
      sock_->Connect(core.ServerHost(), core.ServerPort());
    } catch (const std::exception& e) {
      // A connection refused at once is a failed connection like any other:
      // the host hears of it, and the session is Closed again.
      core.Failed(e.what());
    }
  }

 private:
  // Declared first: the core's callbacks use it, so it outlives the core.
  std::unique_ptr<Socket> sock_;

 public:
  SessionCore core;

 private:
  void OnConnected() override { core.Opened(); }
  void OnDataArrival() override {
    // Bytes wait in the socket while it is not connected.
    if (!sock_->IsConnected()) return;
    // The socket appends straight into the core's buffer: one copy, and no
    // buffer of our own to allocate per arrival.
    core.Receive([this](std::string& buffer) { sock_->GetData(buffer); });
  }
  void OnError(int /*number*/, const std::string& description) override {
    core.Failed(description);
  }
  void OnClosedByPeer() override { core.PeerClosed(); }
};

KezTOCSock::KezTOCSock(std::unique_ptr<Socket> sock, KezTOCSockEvents* events)
    : impl_(std::make_unique<Impl>(std::move(sock), events)) {}
KezTOCSock::~KezTOCSock() = default;

void KezTOCSock::SetEvents(KezTOCSockEvents* events) {
  impl_->core.SetEvents(events);
}
SessionState KezTOCSock::State() const {
  return impl_->core.State();
}
int32_t KezTOCSock::LastChatID() const {
  return impl_->core.LastChatID();
}
void KezTOCSock::SetLastChatID(int32_t value) {
  impl_->core.SetLastChatID(value);
}

void KezTOCSock::Login(std::string_view UserName, std::string_view Password,
                       std::string_view TOCServer, int32_t Port, std::string_view AuthServer) {
  impl_->Login(UserName, Password, TOCServer, Port, AuthServer);
}
void KezTOCSock::LogOff() {
  impl_->core.LogOff();
}
void KezTOCSock::SendPacket(int16_t intChannel, std::string_view strData) {
  impl_->core.SendPacket(intChannel, strData);
}

// Each command goes straight to the core's method of the same name.
#define KEZ_FORWARD_COMMAND(Name, doc, ...)                                   \
  void KezTOCSock::Name(KEZ_EACH(KEZ_PARAM_DEFINE, KEZ_COMMA, __VA_ARGS__)) { \
    impl_->core.Name(KEZ_EACH(KEZ_PARAM_NAME, KEZ_COMMA, __VA_ARGS__));       \
  }
KEZ_TOCSOCK_COMMANDS(KEZ_FORWARD_COMMAND)
#undef KEZ_FORWARD_COMMAND

std::string KezTOCSock::RemoveHtml(std::string_view strMessage) const {
  return impl_->core.RemoveHtml(strMessage);
}
std::string KezTOCSock::GetChatName(int32_t lngChatID) const {
  return impl_->core.GetChatName(lngChatID);
}

}  // namespace kez
