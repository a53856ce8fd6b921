#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kez {

// The host's listener: one member per event of the control, arguments in
// their fixed order. Every body is empty, so a host overrides only what it
// handles. Events are delivered synchronously from inside the control's
// routines; a handler may call any method of the control, or destroy it.
class KezTOCSockEvents {
 public:
  virtual ~KezTOCSockEvents() = default;

  virtual void JoinedChat(const std::string& /*strChatName*/, int32_t /*lngChatID*/) {}
  virtual void ChatMessage(int32_t /*lngChatID*/, const std::string& /*strUserName*/,
                           const std::string& /*strMessage*/) {}
  virtual void ChatInvite(const std::string& /*strChatName*/, int32_t /*lngChatID*/,
                          const std::string& /*strFromUser*/,
                          const std::string& /*strInviteMessage*/) {}
  virtual void LeftChat(int32_t /*lngChatID*/) {}
  virtual void ChatUserUpdate(const std::string& /*strUserName*/, bool /*blnInside*/,
                              int32_t /*lngChatID*/) {}
  virtual void BuddyUpdate(const std::string& /*strBuddy*/, bool /*blnOnline*/,
                           int16_t /*intWarningLevel*/, int32_t /*lngOnlineTime*/,
                           int32_t /*lngIdleTime*/, const std::string& /*strUserClass*/) {}
  virtual void BuddyCapabilities(const std::string& /*strUserName*/,
                                 const std::string& /*strCaps*/) {}
  virtual void BuddyBart(const std::string& /*strUserName*/, const std::string& /*strBart*/) {}
  virtual void BuddyAdded(const std::string& /*strGroup*/, const std::string& /*strBuddy*/,
                          const std::string& /*strAlias*/) {}
  virtual void GroupAdded(const std::string& /*strGroup*/) {}
  virtual void PrivateBuddyAdded(const std::string& /*strBuddy*/) {}
  virtual void BuddyBlocked(const std::string& /*strBuddy*/) {}
  virtual void BuddyRemoved(const std::string& /*strGroup*/, const std::string& /*strBuddy*/) {}
  virtual void GroupRemoved(const std::string& /*strGroup*/) {}
  virtual void PrivateBuddyRemoved(const std::string& /*strBuddy*/) {}
  virtual void BuddyUnblocked(const std::string& /*strBuddy*/) {}
  // The four lists are new for every configuration; the host may keep them.
  virtual void LoggedIn(const std::string& /*strUserName*/, std::vector<std::string> /*BuddyList*/,
                        std::vector<std::string> /*BlockList*/,
                        std::vector<std::string> /*PrivateList*/,
                        std::vector<std::string> /*MiscData*/,
                        const std::string& /*strPreferences*/, int16_t /*PrivacyMode*/) {}
  virtual void LoggedOut(const std::string& /*strUserName*/) {}
  virtual void ScreennameFormat(const std::string& /*strFormattedSN*/) {}
  virtual void InstantMessage(const std::string& /*strUserName*/, const std::string& /*strMessage*/,
                              bool /*blnAutoResponse*/, const std::string& /*strUserClass*/) {}
  virtual void UserProfile(const std::string& /*strURL*/) {}
  virtual void Error(int16_t /*intErrorCode*/, const std::string& /*strError*/) {}
  // The warning level comes as text, not as a number.
  virtual void Warned(const std::string& /*intWarningLevel*/, const std::string& /*strFromUser*/) {}
  virtual void TypingStatus(const std::string& /*strUserName*/, int16_t /*intTypingStatus*/) {}
  virtual void WinsockError(const std::string& /*strError*/) {}
  virtual void RendevousRequest(const std::string& /*strUserName*/, const std::string& /*strUUID*/,
                                const std::string& /*strCookie*/,
                                const std::string& /*strRendevousIP*/,
                                const std::string& /*strProposerIP*/,
                                const std::string& /*strVerifiedIP*/, int32_t /*lngPort*/) {}
  virtual void IncomingPacket(const std::string& /*strPacket*/) {}
  virtual void PasswordChanged() {}
  virtual void ScreenNameFormatted() {}
  // The server closed the connection; the socket is closed again and the
  // session members are kept, as after a socket error.
  virtual void ConnectionClosed() {}
};

}  // namespace kez
