#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kez/KezTOCSockCommands.h"
#include "kez/KezTOCSockErrors.h"
#include "kez/KezTOCSockEvents.h"
#include "kez/SessionCore.h"
#include "kez/Socket.h"

namespace kez {

// One TOC2 session over one TCP connection: the session core (SessionCore.h)
// joined to a Socket. Owns its socket; reports to its host only through
// KezTOCSockEvents, synchronously, on the host's thread. A handler's
// exception leaves the socket notification that delivered the event, after
// the control finished its own work.
//
// A sign-on: Login, then the socket connects, the control answers the
// server's sign-on (State() SigningOn), ScreennameFormat names the account
// as the server shows it, and LoggedIn completes it (State() SignedOn):
// from then on commands are acted on. The control never retries by itself:
// after WinsockError or ConnectionClosed (State() Closed) a host that wants
// to stay present calls Login again, after a wait (AdviseSignOnRetry says
// whether and how long, from the Error events of the failed sign-on).
// Kept across a new Login: the listener, LastChatID and the frame sequence
// number; the chat table starts empty, so join the rooms again after LoggedIn.
class KezTOCSock final {
 public:
  // Takes the socket; events go to `events` (may be nullptr, see SetEvents).
  explicit KezTOCSock(std::unique_ptr<Socket> sock, KezTOCSockEvents* events = nullptr);
  ~KezTOCSock();
  KezTOCSock(const KezTOCSock&) = delete;
  KezTOCSock& operator=(const KezTOCSock&) = delete;

  // The listener every event goes to from now on; nullptr silences the control.
  void SetEvents(KezTOCSockEvents* events);

  // Where the session stands; see SessionState in SessionCore.h.
  SessionState State() const;

  // The one property: the chat ID of the room joined last (JoinedChat's
  // lngChatID), 0 after LogOff. The host may set it.
  int32_t LastChatID() const;
  void SetLastChatID(int32_t value);

  // Stores the session (name normalised, password roasted, hosts trimmed,
  // AuthServer empty: kDefaultAuthServer), closes the socket and asks it to
  // connect to TOCServer:Port; returns at once. Callable in any state; the
  // state becomes Connecting. A connection that fails later raises
  // WinsockError. Throws std::invalid_argument, changing nothing, for a
  // screen name or authorizer host that would break the login line.
  void Login(std::string_view UserName, std::string_view Password, std::string_view TOCServer,
             int32_t Port, std::string_view AuthServer = {});
  // Closes the connection without telling the server, raises LoggedOut with
  // the screen name (empty if there was no Login), then forgets the session:
  // ServerPort 5190, LastChatID 0. Callable in any state; Closed afterwards.
  void LogOff();
  // Sends one FLAP frame of type intChannel (2: data, a NUL added; 5:
  // keep-alive) holding strData while the socket is connected, whatever the
  // state; otherwise nothing. Never reports anything.
  void SendPacket(int16_t intChannel, std::string_view strData);

  // The client commands, one method each, as listed with their parameters
  // and what each does in KezTOCSockCommands.h. A command reaches the server
  // only in State() SigningOn or SignedOn; before that it sends nothing.
  KEZ_TOCSOCK_COMMANDS(KEZ_TOCSOCK_COMMAND_METHOD)

  // strMessage with every tag (from a "<" to the first ">" after it) taken
  // out, leftmost first, stopping at a "<" with no ">" after it. Entities are
  // not decoded: "a < b > c" becomes "a  c", "x &amp; y" stays.
  std::string RemoveHtml(std::string_view strMessage) const;
  // The room name the chat table holds for lngChatID, or
  // "[No Chat Name Found for ID]".
  std::string GetChatName(int32_t lngChatID) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kez
