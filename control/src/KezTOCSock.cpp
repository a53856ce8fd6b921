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
    } catch (const std::exception&) {
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

void KezTOCSock::JoinChat(std::string_view strRoomName, int16_t intExchange) {
  impl_->core.JoinChat(strRoomName, intExchange);
}
void KezTOCSock::LeaveChat(std::string_view strChatName, int32_t lngChatID) {
  impl_->core.LeaveChat(strChatName, lngChatID);
}
void KezTOCSock::SendChat(std::string_view strChatName, std::string_view strMessage,
                          int32_t lngChatID) {
  impl_->core.SendChat(strChatName, strMessage, lngChatID);
}
void KezTOCSock::GetProfile(std::string_view strUserName) {
  impl_->core.GetProfile(strUserName);
}
void KezTOCSock::SendIM(std::string_view strUserName, std::string_view strMessage,
                        bool AutoResponse) {
  impl_->core.SendIM(strUserName, strMessage, AutoResponse);
}
void KezTOCSock::ChangePassword(std::string_view strOldPassword, std::string_view strNewPassword) {
  impl_->core.ChangePassword(strOldPassword, strNewPassword);
}
void KezTOCSock::FormatUserName(std::string_view strFormatted) {
  impl_->core.FormatUserName(strFormatted);
}
void KezTOCSock::SetAwayMessage(std::string_view strAwayMessage) {
  impl_->core.SetAwayMessage(strAwayMessage);
}
void KezTOCSock::SetProfile(std::string_view strProfile) {
  impl_->core.SetProfile(strProfile);
}
void KezTOCSock::GetStatus(std::string_view strUserName) {
  impl_->core.GetStatus(strUserName);
}
void KezTOCSock::SetIdleTime(int32_t lngMinutes) {
  impl_->core.SetIdleTime(lngMinutes);
}
void KezTOCSock::AcceptChatInvite(int32_t lngChatID) {
  impl_->core.AcceptChatInvite(lngChatID);
}
void KezTOCSock::InviteUsers(std::string_view strChatName, std::string_view strInviteMessage,
                             std::string_view strUsers, int32_t lngChatID) {
  impl_->core.InviteUsers(strChatName, strInviteMessage, strUsers, lngChatID);
}
void KezTOCSock::WarnUser(std::string_view strUserName, bool blnAnonymous) {
  impl_->core.WarnUser(strUserName, blnAnonymous);
}
void KezTOCSock::AddBuddy(std::string_view strGroup, std::string_view strBuddy) {
  impl_->core.AddBuddy(strGroup, strBuddy);
}
void KezTOCSock::RemoveBuddy(std::string_view strGroup, std::string_view strBuddy) {
  impl_->core.RemoveBuddy(strGroup, strBuddy);
}
void KezTOCSock::AddGroup(std::string_view strGroup) {
  impl_->core.AddGroup(strGroup);
}
void KezTOCSock::RemoveGroup(std::string_view strGroup) {
  impl_->core.RemoveGroup(strGroup);
}
void KezTOCSock::BlockUser(std::string_view strUserName) {
  impl_->core.BlockUser(strUserName);
}
void KezTOCSock::UnblockUser(std::string_view strUserName) {
  impl_->core.UnblockUser(strUserName);
}
void KezTOCSock::AddPrivateUser(std::string_view strUserName) {
  impl_->core.AddPrivateUser(strUserName);
}
void KezTOCSock::RemovePrivateUser(std::string_view strUserName) {
  impl_->core.RemovePrivateUser(strUserName);
}
void KezTOCSock::SetPrivacy(int16_t intMode) {
  impl_->core.SetPrivacy(intMode);
}
void KezTOCSock::SetCapability(std::string_view strCapUUID) {
  impl_->core.SetCapability(strCapUUID);
}

std::string KezTOCSock::RemoveHtml(std::string_view strMessage) const {
  return impl_->core.RemoveHtml(strMessage);
}
std::string KezTOCSock::GetChatName(int32_t lngChatID) const {
  return impl_->core.GetChatName(lngChatID);
}

}  // namespace kez
