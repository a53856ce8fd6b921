#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Every event of the control, once: X(Name, (parameters), argument names...),
// each with what raises it. The listener below and EventForwarder are
// generated from it, and so is every host that wants all events; adding an
// event is one line here. Arguments keep their fixed order; texts are byte
// strings as the server sent them. LoggedIn's four lists are new for every
// configuration; the host may keep them.
// clang-format off
#define KEZ_TOCSOCK_EVENTS(X)                                                                     \
  /* The server put the session in the room strChatName (after JoinChat or AcceptChatInvite);     \
     lngChatID names it from now on and is now LastChatID. */                                     \
  X(JoinedChat, (const std::string& strChatName, int32_t lngChatID), strChatName, lngChatID)      \
  /* strUserName said strMessage (markup as sent) in the room lngChatID; the session's own        \
     lines come back too. */                                                                      \
  X(ChatMessage,                                                                                  \
    (int32_t lngChatID, const std::string& strUserName, const std::string& strMessage),           \
    lngChatID, strUserName, strMessage)                                                           \
  /* strFromUser invites the session to the room strChatName with strInviteMessage;               \
     AcceptChatInvite(lngChatID) joins it. */                                                     \
  X(ChatInvite,                                                                                   \
    (const std::string& strChatName, int32_t lngChatID, const std::string& strFromUser,           \
     const std::string& strInviteMessage),                                                        \
    strChatName, lngChatID, strFromUser, strInviteMessage)                                        \
  /* The session is out of the room lngChatID (after LeaveChat, or put out). */                   \
  X(LeftChat, (int32_t lngChatID), lngChatID)                                                     \
  /* strUserName came into (blnInside) or left the room lngChatID; once for each name, the        \
     session's own included. */                                                                   \
  X(ChatUserUpdate, (const std::string& strUserName, bool blnInside, int32_t lngChatID),          \
    strUserName, blnInside, lngChatID)                                                            \
  /* A buddy's presence: online or not, warning level in percent, online since lngOnlineTime      \
     (seconds since 1970), idle for lngIdleTime minutes, and the class letters as sent (" O"      \
     an ordinary account, " OU" one that is away). */                                             \
  X(BuddyUpdate,                                                                                  \
    (const std::string& strBuddy, bool blnOnline, int16_t intWarningLevel, int32_t lngOnlineTime, \
     int32_t lngIdleTime, const std::string& strUserClass),                                       \
    strBuddy, blnOnline, intWarningLevel, lngOnlineTime, lngIdleTime, strUserClass)               \
  /* The capability UUIDs strUserName announced, as sent. */                                      \
  X(BuddyCapabilities, (const std::string& strUserName, const std::string& strCaps), strUserName, \
    strCaps)                                                                                      \
  /* strUserName's buddy icon and other items, as sent. */                                        \
  X(BuddyBart, (const std::string& strUserName, const std::string& strBart), strUserName, strBart) \
  /* The stored buddy list gained strBuddy (with strAlias, often empty) in strGroup. */           \
  X(BuddyAdded,                                                                                   \
    (const std::string& strGroup, const std::string& strBuddy, const std::string& strAlias),      \
    strGroup, strBuddy, strAlias)                                                                 \
  /* The stored buddy list gained the group strGroup. */                                          \
  X(GroupAdded, (const std::string& strGroup), strGroup)                                          \
  /* The permit list gained strBuddy. */                                                          \
  X(PrivateBuddyAdded, (const std::string& strBuddy), strBuddy)                                   \
  /* The block list gained strBuddy. */                                                           \
  X(BuddyBlocked, (const std::string& strBuddy), strBuddy)                                        \
  /* strBuddy left the group strGroup of the stored buddy list. */                                \
  X(BuddyRemoved, (const std::string& strGroup, const std::string& strBuddy), strGroup, strBuddy) \
  /* The group strGroup left the stored buddy list. */                                            \
  X(GroupRemoved, (const std::string& strGroup), strGroup)                                        \
  /* strBuddy left the permit list. */                                                            \
  X(PrivateBuddyRemoved, (const std::string& strBuddy), strBuddy)                                 \
  /* strBuddy left the block list. */                                                             \
  X(BuddyUnblocked, (const std::string& strBuddy), strBuddy)                                      \
  /* The sign-on is complete and the stored lists arrived: the moment commands are acted on       \
     (State() SignedOn). strUserName is the normalised name; BuddyList holds "[group]Name"        \
     entries each followed by its buddies; strPreferences and PrivacyMode (see SetPrivacy) as     \
     stored. Raised again for each further configuration. */                                      \
  X(LoggedIn,                                                                                     \
    (const std::string& strUserName, std::vector<std::string> BuddyList,                          \
     std::vector<std::string> BlockList, std::vector<std::string> PrivateList,                    \
     std::vector<std::string> MiscData, const std::string& strPreferences, int16_t PrivacyMode),  \
    strUserName, BuddyList, BlockList, PrivateList, MiscData, strPreferences, PrivacyMode)        \
  /* LogOff ran: the connection is closed and strUserName (empty without a Login) signed off.     \
     Raised by LogOff only, never by a lost connection. */                                        \
  X(LoggedOut, (const std::string& strUserName), strUserName)                                     \
  /* The account's name as the server shows it (capitals, spaces), during the sign-on before      \
     LoggedIn, and after FormatUserName. */                                                       \
  X(ScreennameFormat, (const std::string& strFormattedSN), strFormattedSN)                        \
  /* strUserName sent strMessage (markup as sent; RemoveHtml gives plain text), an automatic      \
     reply when blnAutoResponse; strUserClass as in BuddyUpdate. */                               \
  X(InstantMessage,                                                                               \
    (const std::string& strUserName, const std::string& strMessage, bool blnAutoResponse,         \
     const std::string& strUserClass),                                                            \
    strUserName, strMessage, blnAutoResponse, strUserClass)                                       \
  /* The answer to GetProfile: where to read the profile, strURL as sent (the control fetches     \
     nothing). */                                                                                 \
  X(UserProfile, (const std::string& strURL), strURL)                                             \
  /* The server refused or reported something: intErrorCode and a readable strError               \
     (KezTOCSockErrors.h names the codes and says which sign-on errors are final). The            \
     session goes on; the server may close it after a sign-on error. */                           \
  X(Error, (int16_t intErrorCode, const std::string& strError), intErrorCode, strError)           \
  /* The session was warned by strFromUser (empty: anonymously); intWarningLevel is the new       \
     level in percent, as decimal text. */                                                        \
  X(Warned, (const std::string& intWarningLevel, const std::string& strFromUser),                 \
    intWarningLevel, strFromUser)                                                                 \
  /* strUserName's typing: 0 stopped, 1 typed and paused, 2 typing. */                            \
  X(TypingStatus, (const std::string& strUserName, int16_t intTypingStatus), strUserName,         \
    intTypingStatus)                                                                              \
  /* The connection failed (refused, lost, reset), with the socket's strError; the session is     \
     Closed and keeps its name for a new Login. */                                                \
  X(WinsockError, (const std::string& strError), strError)                                        \
  /* strUserName proposes a direct connection for the capability strUUID; the control only        \
     reports it. */                                                                               \
  X(RendevousRequest,                                                                             \
    (const std::string& strUserName, const std::string& strUUID, const std::string& strCookie,    \
     const std::string& strRendevousIP, const std::string& strProposerIP,                         \
     const std::string& strVerifiedIP, int32_t lngPort),                                          \
    strUserName, strUUID, strCookie, strRendevousIP, strProposerIP, strVerifiedIP, lngPort)       \
  /* Every frame received, header included, before anything else is done with it. */              \
  X(IncomingPacket, (const std::string& strPacket), strPacket)                                    \
  /* The answer to ChangePassword. */                                                             \
  X(PasswordChanged, ())                                                                          \
  /* The answer to FormatUserName. */                                                             \
  X(ScreenNameFormatted, ())                                                                      \
  /* The server closed the connection; the session is Closed and keeps its name for a new         \
     Login, as after WinsockError. */                                                             \
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
