#pragma once

// The session core's state and its routines: frame reader and writer,
// sign-on, dispatch, the message handlers, the chat table.

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "commands.h"
#include "kez/SessionCore.h"

namespace kez {

class SessionCore::Impl {
 public:
  explicit Impl(KezTOCSockEvents* events);
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void SetEvents(KezTOCSockEvents* events);

  // A routine that raises events on its own account (Receive, LogOff,
  // Failed, PeerClosed) holds one: an exception a handler throws is kept here
  // while the routine finishes its work, then Rethrow hands the first one to
  // the routine's caller.
  class Entry {
   public:
    explicit Entry(Impl& core) : core_(core), alive_(core.alive_), outer_(core.error_) {
      core.error_ = &error_;
    }
    ~Entry() {
      if (*alive_) core_.error_ = outer_;
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    void Rethrow() {
      if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    }

   private:
    Impl& core_;
    std::shared_ptr<bool> alive_;
    std::exception_ptr* outer_;
    std::exception_ptr error_;
  };

  // Calls `raise` on the listener; false when the host destroyed the core
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
      if (!slot) throw;
      if (!*slot) *slot = std::current_exception();
    }
    return *alive;
  }

  // Runs one of the owner's callbacks. Inside an Entry an exception it throws
  // is kept like a handler's, so the reader is never left half-way.
  template <class F>
  void CallOwner(F&& call) {
    if (!error_) return call();
    std::exception_ptr* slot = error_;
    try {
      call();
    } catch (...) {
      if (!*slot) *slot = std::current_exception();
    }
  }

  // The connection.
  void Login(std::string_view UserName, std::string_view Password, std::string_view TOCServer,
             int32_t Port, std::string_view AuthServer);
  void LogOff();
  void Opened();
  void Receive(std::string_view bytes);
  // The lending form: `append(reader, buffer)` adds the arrival at the end of
  // the buffer it is given (or, while not open, to one that is dropped).
  void ReceiveFrom(void (*append)(void* reader, std::string& buffer), void* reader);
  // Both forms, once open.
  template <class Append>
  void ReadArrival(const Append& append);
  // Cuts the complete frames out of rx_ and hands each on.
  void ReadFrames(const std::shared_ptr<bool>& alive);
  // Gives back a large buffer once arrivals no longer fill it.
  void TrimBuffer(std::size_t arrival);
  void Failed(const std::string& description);
  void PeerClosed();
  void RequestClose();

  // Output.
  void Emit(std::string_view bytes);
  void SendPacket(int16_t intChannel, std::string_view strData);
  // Throws, before anything is sent, for a line that cannot go out whole:
  // std::invalid_argument for a NUL byte, std::length_error for a line that
  // does not fit one frame.
  static void CheckCommandLine(std::string_view line);
  // Checks a command's line, then sends it as a data frame if it is to be
  // sent and the session has signed on (SigningOn or SignedOn).
  void SendCommand(const CommandLine& line);

  // Frame handling. Returns false when the core was destroyed.
  bool ProcessFrame(std::string_view frame);
  void DispatchMessage(std::string_view payload);
  void ClearChatTable();

  // Message handlers, one per server message name.
  using Handler = void (Impl::*)(std::string_view payload);
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

  KezTOCSockEvents* events_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Where the running Entry keeps a handler's exception; null outside one.
  std::exception_ptr* error_ = nullptr;
  std::function<void(std::string_view)> send_;
  std::function<void()> close_;
  std::string output_;  // bytes waiting for TakeOutput while no send_ is set
  bool open_ = false;
  SessionState state_ = SessionState::Closed;

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
