#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kez/KezTOCSockEvents.h"

namespace reposa::console {

// Turns every event of the control into {"event": "<Name>", "args": [...]},
// arguments in the listener's order: texts as byte strings (see json_bytes.h),
// numbers as integers, booleans as booleans, lists as arrays of strings.
class EventPrinter : public kez::KezTOCSockEvents {
 public:
  using Emit = std::function<void(const nlohmann::ordered_json&)>;
  // IncomingPacket is printed only when `packets` is set.
  EventPrinter(Emit emit, bool packets) : emit_(std::move(emit)), packets_(packets) {}

  void JoinedChat(const std::string& strChatName, int32_t lngChatID) override;
  void ChatMessage(int32_t lngChatID, const std::string& strUserName,
                   const std::string& strMessage) override;
  void ChatInvite(const std::string& strChatName, int32_t lngChatID, const std::string& strFromUser,
                  const std::string& strInviteMessage) override;
  void LeftChat(int32_t lngChatID) override;
  void ChatUserUpdate(const std::string& strUserName, bool blnInside, int32_t lngChatID) override;
  void BuddyUpdate(const std::string& strBuddy, bool blnOnline, int16_t intWarningLevel,
                   int32_t lngOnlineTime, int32_t lngIdleTime,
                   const std::string& strUserClass) override;
  void BuddyCapabilities(const std::string& strUserName, const std::string& strCaps) override;
  void BuddyBart(const std::string& strUserName, const std::string& strBart) override;
  void BuddyAdded(const std::string& strGroup, const std::string& strBuddy,
                  const std::string& strAlias) override;
  void GroupAdded(const std::string& strGroup) override;
  void PrivateBuddyAdded(const std::string& strBuddy) override;
  void BuddyBlocked(const std::string& strBuddy) override;
  void BuddyRemoved(const std::string& strGroup, const std::string& strBuddy) override;
  void GroupRemoved(const std::string& strGroup) override;
  void PrivateBuddyRemoved(const std::string& strBuddy) override;
  void BuddyUnblocked(const std::string& strBuddy) override;
  void LoggedIn(const std::string& strUserName, std::vector<std::string> BuddyList,
                std::vector<std::string> BlockList, std::vector<std::string> PrivateList,
                std::vector<std::string> MiscData, const std::string& strPreferences,
                int16_t PrivacyMode) override;
  void LoggedOut(const std::string& strUserName) override;
  void ScreennameFormat(const std::string& strFormattedSN) override;
  void InstantMessage(const std::string& strUserName, const std::string& strMessage,
                      bool blnAutoResponse, const std::string& strUserClass) override;
  void UserProfile(const std::string& strURL) override;
  void Error(int16_t intErrorCode, const std::string& strError) override;
  void Warned(const std::string& intWarningLevel, const std::string& strFromUser) override;
  void TypingStatus(const std::string& strUserName, int16_t intTypingStatus) override;
  void WinsockError(const std::string& strError) override;
  void RendevousRequest(const std::string& strUserName, const std::string& strUUID,
                        const std::string& strCookie, const std::string& strRendevousIP,
                        const std::string& strProposerIP, const std::string& strVerifiedIP,
                        int32_t lngPort) override;
  void IncomingPacket(const std::string& strPacket) override;
  void PasswordChanged() override;
  void ScreenNameFormatted() override;
  void ConnectionClosed() override;

 private:
  template <class... A>
  void Print(const char* name, const A&... args);

  Emit emit_;
  bool packets_;
};

}  // namespace reposa::console
