#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "kez/KezTOCSockCommands.h"
#include "kez/KezTOCSockErrors.h"
#include "kez/KezTOCSockEvents.h"

namespace kez {

// The authorizer host named in the toc2_login line when the host gives none.
// Reposa's own server ignores it; a real deployment passes its own.
inline constexpr std::string_view kDefaultAuthServer = "login.toc.localhost";
// The TOC port, and ServerPort's value after LogOff.
inline constexpr int32_t kDefaultTOCPort = 5190;
// Rooms the session can be in at once.
inline constexpr std::size_t kChatTableSize = 11;
// Largest FLAP payload: the length field is 16 bits.
inline constexpr std::size_t kMaxPayload = 65535;
// Most CONFIG2 text gathered while waiting for its end; past it the gathered
// text is dropped, so a server that never ends a configuration cannot make
// the session grow.
inline constexpr std::size_t kMaxPendingConfig = std::size_t{4} << 20;

struct ChatEntry {
  int32_t ChatID = 0;  // 0 marks a free entry
  std::string RoomName;
};

// Where the session stands. Commands reach the server in SigningOn and
// SignedOn only (KezTOCSockCommands.h).
enum class SessionState {
  Closed,      // no connection: new, or after LogOff, WinsockError or ConnectionClosed
  Connecting,  // after Login, until the control answers the server's sign-on frame
  SigningOn,   // the control's sign-on has gone out; waiting for LoggedIn (or an Error)
  SignedOn,    // from LoggedIn on; a new sign-on frame from the server goes back to SigningOn
};

// One TOC2 session without any I/O: the owner hands it the bytes received,
// carries the bytes it gives out, and tells it when the connection opens,
// fails or is closed by the peer. It raises the events on its listener,
// synchronously, from inside these calls. KezTOCSock joins it to a Socket;
// an embedder with its own event loop drives it directly:
//
//   SessionCore core(&listener);
//   core.SetSend([&](std::string_view bytes) { my_write(bytes); });
//   core.SetClose([&] { my_close(); });
//   core.Login(name, password, host, port);  // then connect to host:port
//   core.Opened();                           // once connected
//   core.Receive(bytes);                     // for every read
//   core.Failed(why) or core.PeerClosed();   // when the connection ends
//
// To sign on again after the session ended, call Login again and connect
// anew. Kept from one session to the next: the listener, the callbacks,
// LastChatID (only LogOff resets it) and the frame sequence number. Dropped:
// the chat table, and whatever the old connection left half-read.
//
// or, to read straight into the session's own buffer (one copy fewer):
//
//   core.Receive([&](std::string& buffer) { my_read_appending_to(buffer); });
//
// A handler may call any method, destroy the core, or throw: the core first
// finishes its own work, then the first exception leaves the call that
// delivered the event (Receive, LogOff, Failed or PeerClosed).
class SessionCore final {
 public:
  explicit SessionCore(KezTOCSockEvents* events = nullptr);
  ~SessionCore();
  SessionCore(const SessionCore&) = delete;
  SessionCore& operator=(const SessionCore&) = delete;

  // The listener every event goes to from now on; nullptr silences the session.
  void SetEvents(KezTOCSockEvents* events);
  // Receives every byte to send, in order, as soon as it is ready. Without
  // one, the bytes gather until TakeOutput.
  void SetSend(std::function<void(std::string_view bytes)> send);
  // Called when the connection must be closed: LogOff, a failure, the peer's
  // close. Never called by Login; the owner closes the old connection itself.
  void SetClose(std::function<void()> close);
  // The bytes gathered while no SetSend callback is set, and forgets them.
  std::string TakeOutput();

  // The connection, as its owner reports it.
  // The connection to ServerHost():ServerPort() is open: sends the opening
  // string. The state stays Connecting until the server's sign-on frame.
  void Opened();
  // Bytes read from the connection, in order, cut anywhere. Raises the
  // events of every frame they complete. Dropped while no connection is open.
  void Receive(std::string_view bytes);
  // Lends the session's receive buffer to `append`, which adds the bytes it
  // reads at the end and leaves what the buffer already holds alone; the
  // session then reads them where they are. While not open the bytes are
  // taken and dropped. A buffer grown past 1 MiB by large arrivals is kept
  // while arrivals keep filling an eighth of it, and given back at the first
  // one that does not.
  template <class Append>
  requires std::invocable<Append&, std::string&>
  void Receive(Append&& append) {
    // Through a plain function pointer: a reader called for every arrival
    // costs one indirect call, not a std::function's.
    using Reader = std::remove_reference_t<Append>;
    ReceiveFrom([](void* reader, std::string& buffer) { (*static_cast<Reader*>(reader))(buffer); },
                const_cast<void*>(static_cast<const void*>(std::addressof(append))));
  }
  // The connection failed (refused, lost, reset): raises WinsockError with
  // `description`, then asks for the close. Closed afterwards; the session's
  // name, hosts and port are kept for a new Login. Does nothing when the
  // session is already Closed, so a second report raises nothing.
  void Failed(const std::string& description);
  // The server closed the connection: asks for the close, then raises
  // ConnectionClosed. Closed afterwards, members kept as after Failed. Does
  // nothing when the session is already Closed.
  void PeerClosed();

  // Where the session stands; see SessionState.
  SessionState State() const;
  // True from Opened until the connection ends (Login, LogOff, Failed,
  // PeerClosed): frames go out and bytes are read only then.
  bool IsOpen() const;
  // Where the session signs on, trimmed; valid after Login.
  const std::string& ServerHost() const;
  int32_t ServerPort() const;  // 0 before the first Login, 5190 after LogOff
  // The screen name as sent: normalised (lower case, no spaces).
  const std::string& ScreenName() const;
  // Received bytes of a frame not yet complete.
  std::size_t BufferedBytes() const;
  // The rooms the session is in, by the server's CHAT_JOIN and CHAT_LEFT.
  const std::array<ChatEntry, kChatTableSize>& Chats() const;

  // The chat ID of the room joined last (JoinedChat's lngChatID); 0 after
  // LogOff. The host may set it; nothing else reads it.
  int32_t LastChatID() const;
  void SetLastChatID(int32_t value);

  // Stores the session's parameters for a new sign-on: the name normalised,
  // the password roasted (never kept in clear), the hosts trimmed, and
  // AuthServer (empty: kDefaultAuthServer) named in the login line; the chat
  // table is cleared. Sends nothing: the owner closes any old connection,
  // connects to ServerHost():ServerPort() and calls Opened. Callable in any
  // state; the state becomes Connecting. Throws std::invalid_argument,
  // changing nothing, for a screen name or authorizer host that would break
  // the login line. Port is not checked; it goes into the login line as given.
  void Login(std::string_view UserName, std::string_view Password, std::string_view TOCServer,
             int32_t Port, std::string_view AuthServer = {});
  // Signs off: clears the chat table, asks for the close, raises LoggedOut
  // with the screen name (empty if there was no Login), then forgets the
  // name, password and hosts, sets ServerPort to 5190 and LastChatID to 0.
  // Nothing is sent to the server. Callable in any state; Closed afterwards
  // (Connecting if the LoggedOut handler called Login).
  void LogOff();
  // Sends one FLAP frame of type intChannel (2: data, with a NUL added; 5:
  // keep-alive) holding strData, while a connection is open, whatever the
  // state. Nothing is sent for a payload over kMaxPayload or a type outside
  // 0..255; nothing is reported either way.
  void SendPacket(int16_t intChannel, std::string_view strData);

  // The client commands, one method each, as listed with their parameters
  // and what each does in KezTOCSockCommands.h; when they reach the server
  // is said there too.
  KEZ_TOCSOCK_COMMANDS(KEZ_TOCSOCK_COMMAND_METHOD)

  // strMessage with every tag taken out: a tag runs from a "<" to the first
  // ">" after it, leftmost first, until a "<" has no ">" after it (it and
  // the rest then stay). Nothing else changes: entities are not decoded,
  // line breaks are not added, so "a < b > c" becomes "a  c" and "x > y"
  // stays as it is.
  std::string RemoveHtml(std::string_view strMessage) const;
  // The room name the chat table holds for lngChatID, or
  // "[No Chat Name Found for ID]".
  std::string GetChatName(int32_t lngChatID) const;

  class Impl;  // defined in the library's sources

 private:
  void ReceiveFrom(void (*append)(void* reader, std::string& buffer), void* reader);

  std::unique_ptr<Impl> impl_;
};

}  // namespace kez
