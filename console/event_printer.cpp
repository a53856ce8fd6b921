#include "event_printer.h"

#include "json_bytes.h"

namespace reposa::console {

namespace {

using json = nlohmann::ordered_json;

json Arg(const std::string& text) {
  return BytesToJson(text);
}
json Arg(bool value) {
  return value;
}
json Arg(int16_t value) {
  return value;
}
json Arg(int32_t value) {
  return value;
}
json Arg(const std::vector<std::string>& items) {
  json list = json::array();
  for (const std::string& item : items) list.push_back(BytesToJson(item));
  return list;
}

}  // namespace

template <class... A>
void EventPrinter::Print(const char* name, const A&... args) {
  json list = json::array();
  (list.push_back(Arg(args)), ...);
  emit_(json{{"event", name}, {"args", std::move(list)}});
}

void EventPrinter::JoinedChat(const std::string& strChatName, int32_t lngChatID) {
  Print("JoinedChat", strChatName, lngChatID);
}
void EventPrinter::ChatMessage(int32_t lngChatID, const std::string& strUserName,
                               const std::string& strMessage) {
  Print("ChatMessage", lngChatID, strUserName, strMessage);
}
void EventPrinter::ChatInvite(const std::string& strChatName, int32_t lngChatID,
                              const std::string& strFromUser, const std::string& strInviteMessage) {
  Print("ChatInvite", strChatName, lngChatID, strFromUser, strInviteMessage);
}
void EventPrinter::LeftChat(int32_t lngChatID) {
  Print("LeftChat", lngChatID);
}
void EventPrinter::ChatUserUpdate(const std::string& strUserName, bool blnInside,
                                  int32_t lngChatID) {
  Print("ChatUserUpdate", strUserName, blnInside, lngChatID);
}
void EventPrinter::BuddyUpdate(const std::string& strBuddy, bool blnOnline, int16_t intWarningLevel,
                               int32_t lngOnlineTime, int32_t lngIdleTime,
                               const std::string& strUserClass) {
  Print("BuddyUpdate", strBuddy, blnOnline, intWarningLevel, lngOnlineTime, lngIdleTime,
        strUserClass);
}
void EventPrinter::BuddyCapabilities(const std::string& strUserName, const std::string& strCaps) {
  Print("BuddyCapabilities", strUserName, strCaps);
}
void EventPrinter::BuddyBart(const std::string& strUserName, const std::string& strBart) {
  Print("BuddyBart", strUserName, strBart);
}
void EventPrinter::BuddyAdded(const std::string& strGroup, const std::string& strBuddy,
                              const std::string& strAlias) {
  Print("BuddyAdded", strGroup, strBuddy, strAlias);
}
void EventPrinter::GroupAdded(const std::string& strGroup) {
  Print("GroupAdded", strGroup);
}
void EventPrinter::PrivateBuddyAdded(const std::string& strBuddy) {
  Print("PrivateBuddyAdded", strBuddy);
}
void EventPrinter::BuddyBlocked(const std::string& strBuddy) {
  Print("BuddyBlocked", strBuddy);
}
void EventPrinter::BuddyRemoved(const std::string& strGroup, const std::string& strBuddy) {
  Print("BuddyRemoved", strGroup, strBuddy);
}
void EventPrinter::GroupRemoved(const std::string& strGroup) {
  Print("GroupRemoved", strGroup);
}
void EventPrinter::PrivateBuddyRemoved(const std::string& strBuddy) {
  Print("PrivateBuddyRemoved", strBuddy);
}
void EventPrinter::BuddyUnblocked(const std::string& strBuddy) {
  Print("BuddyUnblocked", strBuddy);
}
void EventPrinter::LoggedIn(const std::string& strUserName, std::vector<std::string> BuddyList,
                            std::vector<std::string> BlockList,
                            std::vector<std::string> PrivateList, std::vector<std::string> MiscData,
                            const std::string& strPreferences, int16_t PrivacyMode) {
  Print("LoggedIn", strUserName, BuddyList, BlockList, PrivateList, MiscData, strPreferences,
        PrivacyMode);
}
void EventPrinter::LoggedOut(const std::string& strUserName) {
  Print("LoggedOut", strUserName);
}
void EventPrinter::ScreennameFormat(const std::string& strFormattedSN) {
  Print("ScreennameFormat", strFormattedSN);
}
void EventPrinter::InstantMessage(const std::string& strUserName, const std::string& strMessage,
                                  bool blnAutoResponse, const std::string& strUserClass) {
  Print("InstantMessage", strUserName, strMessage, blnAutoResponse, strUserClass);
}
void EventPrinter::UserProfile(const std::string& strURL) {
  Print("UserProfile", strURL);
}
void EventPrinter::Error(int16_t intErrorCode, const std::string& strError) {
  Print("Error", intErrorCode, strError);
}
void EventPrinter::Warned(const std::string& intWarningLevel, const std::string& strFromUser) {
  Print("Warned", intWarningLevel, strFromUser);
}
void EventPrinter::TypingStatus(const std::string& strUserName, int16_t intTypingStatus) {
  Print("TypingStatus", strUserName, intTypingStatus);
}
void EventPrinter::WinsockError(const std::string& strError) {
  Print("WinsockError", strError);
}
void EventPrinter::RendevousRequest(const std::string& strUserName, const std::string& strUUID,
                                    const std::string& strCookie, const std::string& strRendevousIP,
                                    const std::string& strProposerIP,
                                    const std::string& strVerifiedIP, int32_t lngPort) {
  Print("RendevousRequest", strUserName, strUUID, strCookie, strRendevousIP, strProposerIP,
        strVerifiedIP, lngPort);
}
void EventPrinter::IncomingPacket(const std::string& strPacket) {
  if (packets_) Print("IncomingPacket", strPacket);
}
void EventPrinter::PasswordChanged() {
  Print("PasswordChanged");
}
void EventPrinter::ScreenNameFormatted() {
  Print("ScreenNameFormatted");
}
void EventPrinter::ConnectionClosed() {
  Print("ConnectionClosed");
}

}  // namespace reposa::console
