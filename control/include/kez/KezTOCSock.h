#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "kez/KezTOCSockEvents.h"
#include "kez/Socket.h"

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

struct ChatEntry {
  int32_t ChatID = 0;  // 0 marks a free entry
  std::string RoomName;
};

struct KezTOCSockInspector;  // tests read the private state through it

// One TOC2 session over one TCP connection. Owns its socket; reports to its
// host only through KezTOCSockEvents, synchronously, on the host's thread.
class KezTOCSock final : private SocketListener {
 public:
  explicit KezTOCSock(std::unique_ptr<Socket> sock, KezTOCSockEvents* events = nullptr);
  ~KezTOCSock();
  KezTOCSock(const KezTOCSock&) = delete;
  KezTOCSock& operator=(const KezTOCSock&) = delete;

  // nullptr silences the control.
  void SetEvents(KezTOCSockEvents* events);
  Socket& Sock() { return *sock_; }

  // The one property.
  int32_t LastChatID() const { return lastChatID_; }
  void SetLastChatID(int32_t value) { lastChatID_ = value; }

  // Session.
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
  friend struct KezTOCSockInspector;
  using Handler = void (KezTOCSock::*)(std::string_view payload);
  struct DispatchEntry {
    std::string_view name;
    Handler handler;
  };
  static const std::array<DispatchEntry, 22> kDispatch;

  // SocketListener.
  void OnConnected() override;
  void OnDataArrival() override;
  void OnError(int number, const std::string& description) override;
  void OnClosedByPeer() override;

  // A routine that raises events on its own account (the reader, LogOff, the
  // socket's notifications) holds one: an exception a handler throws is kept
  // here while the routine finishes its work, then Rethrow hands the first
  // one to the routine's caller.
  class Entry {
   public:
    explicit Entry(KezTOCSock& c) : control_(c), alive_(c.alive_), outer_(c.error_) {
      c.error_ = &error_;
    }
    ~Entry() {
      if (*alive_) control_.error_ = outer_;
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    void Rethrow() {
      if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    }

   private:
    KezTOCSock& control_;
    std::shared_ptr<bool> alive_;
    std::exception_ptr* outer_;
    std::exception_ptr error_;
  };

  // Calls `raise` on the listener; false when the host destroyed the control
  // from inside the event, in which case the caller must return at once
  // without touching any member. An exception from the handler is kept for
  // the routine that began the work (see Entry).
  template <class F>
  bool Raise(F&& raise) {
    std::shared_ptr<bool> alive = alive_;
    std::exception_ptr* slot = error_;
    try {
      raise(*events_);
    } catch (...) {
      if (slot && !*slot) *slot = std::current_exception();
      if (!slot) throw;
    }
    return *alive;
  }

  // Frame handling. ProcessFrame returns false when the control was destroyed.
  bool ProcessFrame(std::string_view frame);
  void DispatchMessage(std::string_view payload);
  void ClearChatTable();
  // Throws, before anything is sent, for a line that cannot go out whole:
  // std::invalid_argument for a NUL byte, std::length_error for a line that
  // does not fit one frame.
  static void CheckCommandLine(std::string_view line);
  // Sends one command line as a data frame, after checking it.
  void SendCommand(std::string_view line);

  // Message handlers, one per server message name.
  void HandleSignOn(std::string_view payload);
  void HandleNick(std::string_view payload);
  void HandleConfig2(std::string_view payload);
  void HandleError(std::string_view payload);
  void HandleUpdateBuddy2(std::string_view payload);
  void HandleBuddyCaps2(std::string_view payload);
  void HandleBart2(std::string_view payload);
  void HandleChatJoin(std::string_view payload);
  void HandleChatUpdateBuddy(std::string_view payload);
  void HandleChatInEnc(std::string_view payload);
  void HandleChatLeft(std::string_view payload);
  void HandleImInEnc2(std::string_view payload);
  void HandleInserted2(std::string_view payload);
  void HandleChatInvite(std::string_view payload);
  void HandleUpdated2(std::string_view payload);
  void HandleDeleted2(std::string_view payload);
  void HandleGotoUrl(std::string_view payload);
  void HandleEviled(std::string_view payload);
  void HandleAdminNickStatus(std::string_view payload);
  void HandleAdminPasswdStatus(std::string_view payload);
  void HandleRvousPropose(std::string_view payload);
  void HandleClientEvent2(std::string_view payload);

  std::unique_ptr<Socket> sock_;
  KezTOCSockEvents* events_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  // Session members.
  int32_t lastChatID_ = 0;
  int32_t serverPort_ = 0;
  std::string screenName_;
  std::string roastedPassword_;
  std::string authServerHost_;
  std::string tocServerHost_;
  std::array<ChatEntry, kChatTableSize> chatTable_{};
  // Counts Login calls, so a routine that raised an event sees whether the
  // host started a new session inside it and leaves that session alone.
  uint64_t logins_ = 0;
  // Where the running Entry keeps a handler's exception; null outside one.
  std::exception_ptr* error_ = nullptr;

  // Framing. Received bytes wait in rx_ from rxPos_ on; while the reader is
  // running, bytes of a nested arrival wait in rxNested_ so that the frame
  // being handled (a view into rx_) stays valid.
  int32_t sequenceNumber_ = 0;
  std::string rx_;
  std::size_t rxPos_ = 0;
  std::string rxNested_;
  bool reading_ = false;
  bool discardRx_ = false;

  // Start of a CONFIG2 configuration still waiting for its end marker.
  std::string config2Pending_;
};

}  // namespace kez
