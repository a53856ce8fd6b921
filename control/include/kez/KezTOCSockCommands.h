#pragma once

#include <cstdint>
#include <string_view>

// Every client command of the control, once:
//
//   X(Name, "what it asks of the server", (type, parameter)..., (type, parameter, default))
//
// SessionCore and KezTOCSock have one method per line, `void Name(parameters)`,
// in this order; a third element is the default of a trailing optional
// parameter. The console's calls and the fuzz target are generated from this
// list too, so adding a command is one line here plus the line it sends, in
// the control's sources.
//
// When a command reaches the server. A command builds one line and hands it
// to the connection at once; nothing is queued or paced. It goes out only
// while State() is SigningOn or SignedOn, that is once the control has
// answered the server's sign-on with its own. While the session is Closed or
// Connecting it sends nothing, reports nothing and is not kept for later.
// The server acts on commands once the sign-on is complete: send them from
// LoggedIn on (State() SignedOn). The answers come later, as events.
//
// What a command throws, in any state and before anything is sent:
// std::invalid_argument for a text holding a NUL byte, std::length_error for
// a line that does not fit one frame (65535 bytes), and SetIdleTime's
// std::overflow_error. The session stays usable after each.
//
// Screen names are sent normalised (lower case, spaces removed) except where
// a line below says "as given". Texts are byte strings; markup is the host's
// business (the server passes HTML through).
//
// clang-format off
#define KEZ_TOCSOCK_COMMANDS(X)                                                                    \
  X(JoinChat, "Asks to join the room strRoomName (spaces at its ends removed) on exchange "        \
    "intExchange, 4 for the ordinary rooms; JoinedChat answers, Error 951 refuses.",               \
    (std::string_view, strRoomName), (int16_t, intExchange))                                       \
  X(LeaveChat, "Leaves the room lngChatID, or with 0 the room strChatName of the chat table "      \
    "(an unknown name sends nothing); LeftChat answers.",                                          \
    (std::string_view, strChatName), (int32_t, lngChatID, 0))                                      \
  X(SendChat, "Says strMessage in the room lngChatID, or with 0 the room strChatName (an "         \
    "unknown name sends nothing); ChatMessage echoes it.",                                         \
    (std::string_view, strChatName), (std::string_view, strMessage), (int32_t, lngChatID, 0))      \
  X(GetProfile, "Asks for strUserName's profile; UserProfile answers with where to read it.",     \
    (std::string_view, strUserName))                                                               \
  X(SendIM, "Sends strMessage to strUserName, marked as an automatic reply when AutoResponse; "   \
    "Error 901 says they cannot be reached.",                                                      \
    (std::string_view, strUserName), (std::string_view, strMessage), (bool, AutoResponse))         \
  X(ChangePassword, "Changes the account's password (both go in clear); PasswordChanged "          \
    "answers. The password Login keeps for signing on again is not changed.",                      \
    (std::string_view, strOldPassword), (std::string_view, strNewPassword))                        \
  X(FormatUserName, "Changes how the account's name is shown (capitals, spaces), sent as "         \
    "given; ScreenNameFormatted answers.",                                                         \
    (std::string_view, strFormatted))                                                              \
  X(SetAwayMessage, "Sets the away message; an empty text comes back from away.",                 \
    (std::string_view, strAwayMessage))                                                            \
  X(SetProfile, "Sets the profile others read through GetProfile.",                                \
    (std::string_view, strProfile))                                                                \
  X(GetStatus, "Asks for strUserName's presence; BuddyUpdate answers, or Error 901.",              \
    (std::string_view, strUserName))                                                               \
  X(SetIdleTime, "Reports the account idle for lngMinutes minutes (0: active again); sent in "     \
    "seconds, so it throws std::overflow_error past 35791394.",                                    \
    (int32_t, lngMinutes))                                                                         \
  X(AcceptChatInvite, "Joins the room of an invitation, by ChatInvite's lngChatID; JoinedChat "    \
    "answers.",                                                                                    \
    (int32_t, lngChatID))                                                                          \
  X(InviteUsers, "Invites strUsers (names separated by commas) with strInviteMessage to the "      \
    "room lngChatID, or with 0 the room strChatName (an unknown name sends nothing).",             \
    (std::string_view, strChatName), (std::string_view, strInviteMessage),                         \
    (std::string_view, strUsers), (int32_t, lngChatID, 0))                                         \
  X(WarnUser, "Warns strUserName, anonymously when blnAnonymous; their warning level rises.",      \
    (std::string_view, strUserName), (bool, blnAnonymous))                                         \
  X(AddBuddy, "Adds strBuddy, as given, to the group strGroup of the stored buddy list; "          \
    "BuddyAdded answers, after GroupAdded for a new group.",                                       \
    (std::string_view, strGroup), (std::string_view, strBuddy))                                    \
  X(RemoveBuddy, "Removes strBuddy, as given, from the group strGroup; BuddyRemoved answers.",     \
    (std::string_view, strGroup), (std::string_view, strBuddy))                                    \
  X(AddGroup, "Adds the group strGroup to the stored buddy list; GroupAdded answers.",             \
    (std::string_view, strGroup))                                                                  \
  X(RemoveGroup, "Removes the group strGroup; GroupRemoved answers.",                              \
    (std::string_view, strGroup))                                                                  \
  X(BlockUser, "Adds strUserName to the block list; BuddyBlocked answers.",                        \
    (std::string_view, strUserName))                                                               \
  X(UnblockUser, "Removes strUserName from the block list; BuddyUnblocked answers.",               \
    (std::string_view, strUserName))                                                               \
  X(AddPrivateUser, "Adds strUserName to the permit list; PrivateBuddyAdded answers.",             \
    (std::string_view, strUserName))                                                               \
  X(RemovePrivateUser, "Removes strUserName from the permit list; PrivateBuddyRemoved answers.",   \
    (std::string_view, strUserName))                                                               \
  X(SetPrivacy, "Chooses who may reach the account: intMode 1 everyone, 2 no one, 3 the permit "   \
    "list, 4 all but the block list, 5 buddies only.",                                             \
    (int16_t, intMode))                                                                            \
  X(SetCapability, "Announces what the client can do: one capability UUID, as given.",            \
    (std::string_view, strCapUUID))

// The pieces of one parameter of the list, (type, name) or (type, name,
// default). Each takes the parameter's position first, as KEZ_EACH gives it.
#define KEZ_PARAM_DECLARE(i, p) KEZ_PARAM_DECLARE_ p  // type name = default
#define KEZ_PARAM_DECLARE_(type, name, ...) type name __VA_OPT__(= __VA_ARGS__)
#define KEZ_PARAM_DEFINE(i, p) KEZ_PARAM_DEFINE_ p  // type name
#define KEZ_PARAM_DEFINE_(type, name, ...) type name
#define KEZ_PARAM_NAME(i, p) KEZ_PARAM_NAME_ p
#define KEZ_PARAM_NAME_(type, name, ...) name
#define KEZ_PARAM_TYPE(i, p) KEZ_PARAM_TYPE_ p
#define KEZ_PARAM_TYPE_(type, name, ...) type
// The value an omitted parameter takes.
#define KEZ_PARAM_DEFAULT(i, p) KEZ_PARAM_DEFAULT_ p
#define KEZ_PARAM_DEFAULT_(type, name, ...) type{__VA_ARGS__}
// 1 for a required parameter, 0 for an optional one.
#define KEZ_PARAM_REQUIRED(i, p) KEZ_PARAM_REQUIRED_ p
#define KEZ_PARAM_REQUIRED_(type, name, ...) (1 __VA_OPT__(-1))

// KEZ_EACH(M, SEP, p0, p1, ...) is M(0, p0) SEP() M(1, p1) ..., for up to six.
#define KEZ_EACH(M, SEP, ...)                                                                  \
  __VA_OPT__(KEZ_EACH_PICK(__VA_ARGS__, KEZ_EACH6, KEZ_EACH5, KEZ_EACH4, KEZ_EACH3, KEZ_EACH2, \
                           KEZ_EACH1, )(M, SEP, __VA_ARGS__))
#define KEZ_EACH_PICK(a, b, c, d, e, f, N, ...) N
#define KEZ_EACH1(M, S, a) M(0, a)
#define KEZ_EACH2(M, S, a, b) KEZ_EACH1(M, S, a) S() M(1, b)
#define KEZ_EACH3(M, S, a, b, c) KEZ_EACH2(M, S, a, b) S() M(2, c)
#define KEZ_EACH4(M, S, a, b, c, d) KEZ_EACH3(M, S, a, b, c) S() M(3, d)
#define KEZ_EACH5(M, S, a, b, c, d, e) KEZ_EACH4(M, S, a, b, c, d) S() M(4, e)
#define KEZ_EACH6(M, S, a, b, c, d, e, f) KEZ_EACH5(M, S, a, b, c, d, e) S() M(5, f)
#define KEZ_COMMA() ,
#define KEZ_PLUS() +
#define KEZ_NOTHING()

// A command's method as SessionCore and KezTOCSock declare it.
#define KEZ_TOCSOCK_COMMAND_METHOD(Name, doc, ...) \
  void Name(KEZ_EACH(KEZ_PARAM_DECLARE, KEZ_COMMA, __VA_ARGS__));
// clang-format on
