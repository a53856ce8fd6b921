#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "event_printer.h"
#include "held_calls.h"
#include "kez/KezTOCSock.h"
#include "kez/host/KeepPresent.h"
#include "kez/posix/EventLoop.h"
#include "options.h"
#include "request.h"

namespace reposa::console {

// The sign-on that --reconnect repeats by itself.
struct SignOn {
  std::string screenName;
  std::string password;
  std::string host;
  int32_t port = 5190;
  std::string authServer;
};

// The keep-present component's timer on the console's event loop.
class LoopTimer final : public kez::host::Timer {
 public:
  explicit LoopTimer(kez::posix::EventLoop& loop) : loop_(loop) {}
  ~LoopTimer() override { Cancel(); }
  void Start(std::chrono::milliseconds wait, std::function<void()> due) override;
  void Cancel() override;

 private:
  kez::posix::EventLoop& loop_;
  kez::posix::EventLoop::Id id_ = 0;
};

// The control on a posix socket, its events printed, its input lines carried
// out in order, and the rooms of --join joined after each sign-on.
class ConsoleSession {
 public:
  // `socket`: what the control signs on with (see ServerSocket).
  ConsoleSession(kez::posix::EventLoop& loop, EventPrinter::Emit emit, bool packets,
                 const std::vector<JoinTarget>& joins, std::unique_ptr<kez::Socket> socket);

  kez::KezTOCSock& Control() { return *control_; }
  // One input line; prints its result or error, if any. A client command is
  // carried out at once while signed on, kept (in order, bounded) while a
  // sign-on is under way or waiting, and refused with an error otherwise.
  // Calls that need no server answer at once.
  void HandleLine(std::string_view line);
  // The same for a line already read; `lineBytes` counts against the bound
  // of held calls.
  void Handle(ParsedLine parsed, std::size_t lineBytes);

  // Signs on now and, whenever the connection is lost, again after the
  // backoff's wait, each wait announced as a notice line; after a sign-on it
  // joins again every room it was in. A LogOff call stops this until the next
  // sign-on. `onGiveUp` runs (on a later turn) after an error that forbids
  // retrying.
  void KeepPresent(SignOn signOn, std::function<void()> onGiveUp);

  // `settled` runs whenever a sign-on has ended one way or the other: signed
  // on, refused, signed off, or the connection lost or never made.
  void OnSignOnSettled(std::function<void()> settled) { onSettled_ = std::move(settled); }

 private:
  class Events final : public EventPrinter {
   public:
    Events(ConsoleSession& session, Emit emit, bool packets)
        : EventPrinter(std::move(emit), packets), session_(session) {}
    void LoggedIn(const std::string& strUserName, std::vector<std::string> BuddyList,
                  std::vector<std::string> BlockList, std::vector<std::string> PrivateList,
                  std::vector<std::string> MiscData, const std::string& strPreferences,
                  int16_t PrivacyMode) override;
    void JoinedChat(const std::string& strChatName, int32_t lngChatID) override;
    void LeftChat(int32_t lngChatID) override;
    void LoggedOut(const std::string& strUserName) override;
    void Error(int16_t intErrorCode, const std::string& strError) override;
    void WinsockError(const std::string& strError) override;
    void ConnectionClosed() override;

   private:
    ConsoleSession& session_;
  };

  void SignOnAgain();
  void Join(const JoinTarget& room);
  void Run(Request request);
  bool SignOnComing() const;
  void RunHeldCalls();
  void SessionLost();
  void Settled() {
    if (onSettled_) onSettled_();
  }

  kez::posix::EventLoop& loop_;
  EventPrinter::Emit emit_;
  SignOn signOn_;  // what --reconnect signs on with
  std::function<void()> onGiveUp_;
  std::function<void()> onSettled_;
  LoopTimer timer_;
  kez::host::KeepPresent keep_;
  Events events_;
  HeldCalls held_;
  std::unique_ptr<kez::KezTOCSock> control_;
};

}  // namespace reposa::console
