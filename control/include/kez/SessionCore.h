#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

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

  // nullptr silences the session.
  void SetEvents(KezTOCSockEvents* events);
  // Receives every byte to send, in order, as soon as it is ready. Without
  // one, the bytes gather until TakeOutput.
  void SetSend(std::function<void(std::string_view bytes)> send);
  // Called when the connection must be closed: LogOff, a failure, the peer's
  // close. Never called by Login; the owner closes the old connection itself.
  void SetClose(std::function<void()> close);
  std::string TakeOutput();

  // The connection, as its owner sees it.
  void Opened();                         // sends the opening string
  void Receive(std::string_view bytes);  // dropped while not open
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
  void Failed(const std::string& description);  // raises WinsockError
  void PeerClosed();                            // raises ConnectionClosed
  bool IsOpen() const;
  // Where the session signs on; valid after Login.
  const std::string& ServerHost() const;
  int32_t ServerPort() const;
  // The screen name as sent: normalised.
  const std::string& ScreenName() const;
  // Received bytes of a frame not yet complete.
  std::size_t BufferedBytes() const;
  const std::array<ChatEntry, kChatTableSize>& Chats() const;

  int32_t LastChatID() const;
  void SetLastChatID(int32_t value);

  // Stores the session's parameters; the owner then connects to
  // ServerHost():ServerPort() and calls Opened. Throws std::invalid_argument,
  // changing nothing, for a screen name or authorizer host that would break
  // the login line.
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

  class Impl;  // defined in the library's sources

 private:
  void ReceiveFrom(void (*append)(void* reader, std::string& buffer), void* reader);

  std::unique_ptr<Impl> impl_;
};

}  // namespace kez
