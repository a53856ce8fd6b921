#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Every event of the control, once: X(Name, (parameters), argument names...).
// The listener below and EventForwarder are generated from it, and so is
// every host that wants all events; adding an event is one line here.
// Arguments keep their fixed order. LoggedIn's four lists are new for every
// configuration; the host may keep them. Warned's level comes as text.
// ConnectionClosed: the server closed the connection; the socket is closed
// again and the session members are kept, as after a socket error.
// clang-format off
#define KEZ_TOCSOCK_EVENTS(X)                                                                     \
  X(JoinedChat, (const std::string& strChatName, int32_t lngChatID), strChatName, lngChatID)      \
  X(ChatMessage,                                                                                  \
    (int32_t lngChatID, const std::string& strUserName, const std::string& strMessage),           \
    lngChatID, strUserName, strMessage)                                                           \
  X(ChatInvite,                                                                                   \
    (const std::string& strChatName, int32_t lngChatID, const std::string& strFromUser,           \
     const std::string& strInviteMessage),                                                        \
    strChatName, lngChatID, strFromUser, strInviteMessage)                                        \
  X(LeftChat, (int32_t lngChatID), lngChatID)                                                     \
  X(ChatUserUpdate, (const std::string& strUserName, bool blnInside, int32_t lngChatID),          \
    strUserName, blnInside, lngChatID)                                                            \
  X(BuddyUpdate,                                                                                  \
    (const std::string& strBuddy, bool blnOnline, int16_t intWarningLevel, int32_t lngOnlineTime, \
     int32_t lngIdleTime, const std::string& strUserClass),                                       \
    strBuddy, blnOnline, intWarningLevel, lngOnlineTime, lngIdleTime, strUserClass)               \
  X(BuddyCapabilities, (const std::string& strUserName, const std::string& strCaps), strUserName, \
    strCaps)                                                                                      \
  X(BuddyBart, (const std::string& strUserName, const std::string& strBart), strUserName, strBart) \
  X(BuddyAdded,                                                                                   \
    (const std::string& strGroup, const std::string& strBuddy, const std::string& strAlias),      \
    strGroup, strBuddy, strAlias)                                                                 \
  X(GroupAdded, (const std::string& strGroup), strGroup)                                          \
  X(PrivateBuddyAdded, (const std::string& strBuddy), strBuddy)                                   \
  X(BuddyBlocked, (const std::string& strBuddy), strBuddy)                                        \
  X(BuddyRemoved, (const std::string& strGroup, const std::string& strBuddy), strGroup, strBuddy) \
  X(GroupRemoved, (const std::string& strGroup), strGroup)                                        \
  X(PrivateBuddyRemoved, (const std::string& strBuddy), strBuddy)                                 \
  X(BuddyUnblocked, (const std::string& strBuddy), strBuddy)                                      \
  X(LoggedIn,                                                                                     \
    (const std::string& strUserName, std::vector<std::string> BuddyList,                          \
     std::vector<std::string> BlockList, std::vector<std::string> PrivateList,                    \
     std::vector<std::string> MiscData, const std::string& strPreferences, int16_t PrivacyMode),  \
    strUserName, BuddyList, BlockList, PrivateList, MiscData, strPreferences, PrivacyMode)        \
  X(LoggedOut, (const std::string& strUserName), strUserName)                                     \
  X(ScreennameFormat, (const std::string& strFormattedSN), strFormattedSN)                        \
  X(InstantMessage,                                                                               \
    (const std::string& strUserName, const std::string& strMessage, bool blnAutoResponse,         \
     const std::string& strUserClass),                                                            \
    strUserName, strMessage, blnAutoResponse, strUserClass)                                       \
  X(UserProfile, (const std::string& strURL), strURL)                                             \
  X(Error, (int16_t intErrorCode, const std::string& strError), intErrorCode, strError)           \
  X(Warned, (const std::string& intWarningLevel, const std::string& strFromUser),                 \
    intWarningLevel, strFromUser)                                                                 \
  X(TypingStatus, (const std::string& strUserName, int16_t intTypingStatus), strUserName,         \
    intTypingStatus)                                                                              \
  X(WinsockError, (const std::string& strError), strError)                                        \
  X(RendevousRequest,                                                                             \
    (const std::string& strUserName, const std::string& strUUID, const std::string& strCookie,    \
     const std::string& strRendevousIP, const std::string& strProposerIP,                         \
     const std::string& strVerifiedIP, int32_t lngPort),                                          \
    strUserName, strUUID, strCookie, strRendevousIP, strProposerIP, strVerifiedIP, lngPort)       \
  X(IncomingPacket, (const std::string& strPacket), strPacket)                                    \
  X(PasswordChanged, ())                                                                          \
  X(ScreenNameFormatted, ())                                                                      \
  X(ConnectionClosed, ())
// clang-format on

namespace kez {

namespace detail {
// Lets an empty body name its parameters without a warning.
template <class... T>
constexpr void Unused(const T&...) {}
}  // namespace detail

// The host's listener: one member per event of the control, arguments in
// their fixed order. Every body is empty, so a host overrides only what it
// handles. Events are delivered synchronously from inside the control's
// routines; a handler may call any method of the control, destroy it, or
// throw (the exception comes out of the call that delivered the event, once
// the control has finished its own work).
class KezTOCSockEvents {
 public:
  virtual ~KezTOCSockEvents() = default;

#define KEZ_TOCSOCK_EVENT_MEMBER(name, params, ...) \
  virtual void name params {                        \
    detail::Unused(__VA_ARGS__);                    \
  }
  KEZ_TOCSOCK_EVENTS(KEZ_TOCSOCK_EVENT_MEMBER)
#undef KEZ_TOCSOCK_EVENT_MEMBER
};

// A listener that hands every event to one callable as its name and its
// arguments, in order: forward(std::string_view name, const Args&... args).
// For hosts that treat all events alike: printers, recorders, relays.
template <class F>
class EventForwarder : public KezTOCSockEvents {
 public:
  explicit EventForwarder(F forward) : forward_(std::move(forward)) {}

#define KEZ_TOCSOCK_EVENT_FORWARD(name, params, ...)              \
  void name params override {                                     \
    forward_(std::string_view(#name) __VA_OPT__(, ) __VA_ARGS__); \
  }
  KEZ_TOCSOCK_EVENTS(KEZ_TOCSOCK_EVENT_FORWARD)
#undef KEZ_TOCSOCK_EVENT_FORWARD

 protected:
  F forward_;
};

}  // namespace kez
