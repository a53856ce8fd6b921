#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kez/KezTOCSockEvents.h"
#include "kez/SessionCore.h"
#include "kez/Socket.h"

namespace kez {

// One TOC2 session over one TCP connection: the session core (SessionCore.h)
// joined to a Socket. Owns its socket; reports to its host only through
// KezTOCSockEvents, synchronously, on the host's thread. A handler's
// exception leaves the socket notification that delivered the event, after
// the control finished its own work.
class KezTOCSock final {
 public:
  explicit KezTOCSock(std::unique_ptr<Socket> sock, KezTOCSockEvents* events = nullptr);
  ~KezTOCSock();
  KezTOCSock(const KezTOCSock&) = delete;
  KezTOCSock& operator=(const KezTOCSock&) = delete;

  // nullptr silences the control.
  void SetEvents(KezTOCSockEvents* events);

  // The one property.
  int32_t LastChatID() const;
  void SetLastChatID(int32_t value);

  // Session. Login throws std::invalid_argument, changing nothing, for a
  // screen name or authorizer host that would break the login line.
  void Login(std::string_view UserName, std::string_view Password, std::string_view TOCServer,
             int32_t Port, std::string_view AuthServer = {});
  void LogOff();
  void SendPacket(int16_t intChannel, std::string_view strData);

  // Client commands. Each sends one line, or throws before sending anything:
  // std::invalid_argument for a text holding a NUL byte, std::length_error for
  // a line that does not fit one frame, std::overflow_error from SetIdleTime.
  void JoinChat(std::string_view strRoomName, int16_t intExchange);
  void LeaveChat(std::string_view strChatName, int32_t lngChatID = 0);
  void SendChat(std::string_view strChatName, std::string_view strMessage, int32_t lngChatID = 0);
  void GetProfile(std::string_view strUserName);
  void SendIM(std::string_view strUserName, std::string_view strMessage, bool AutoResponse);
  void ChangePassword(std::string_view strOldPassword, std::string_view strNewPassword);
  void FormatUserName(std::string_view strFormatted);
  void SetAwayMessage(std::string_view strAwayMessage);
  void SetProfile(std::string_view strProfile);
  void GetStatus(std::string_view strUserName);
  void SetIdleTime(int32_t lngMinutes);
  void AcceptChatInvite(int32_t lngChatID);
  void InviteUsers(std::string_view strChatName, std::string_view strInviteMessage,
                   std::string_view strUsers, int32_t lngChatID = 0);
  void WarnUser(std::string_view strUserName, bool blnAnonymous);
  void AddBuddy(std::string_view strGroup, std::string_view strBuddy);
  void RemoveBuddy(std::string_view strGroup, std::string_view strBuddy);
  void AddGroup(std::string_view strGroup);
  void RemoveGroup(std::string_view strGroup);
  void BlockUser(std::string_view strUserName);
  void UnblockUser(std::string_view strUserName);
  void AddPrivateUser(std::string_view strUserName);
  void RemovePrivateUser(std::string_view strUserName);
  void SetPrivacy(int16_t intMode);
  void SetCapability(std::string_view strCapUUID);

  // Utilities.
  std::string RemoveHtml(std::string_view strMessage) const;
  std::string GetChatName(int32_t lngChatID) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kez
