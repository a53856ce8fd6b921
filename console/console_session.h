#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "event_printer.h"
#include "kez/KezTOCSock.h"
#include "kez/posix/EventLoop.h"
#include "options.h"

namespace reposa::console {

// The control on a posix socket, its events printed, its input lines carried
// out in order, and the room of --join joined after each sign-on.
class ConsoleSession {
 public:
  ConsoleSession(kez::posix::EventLoop& loop, EventPrinter::Emit emit, bool packets,
                 std::optional<JoinTarget> join);

  kez::KezTOCSock& Control() { return *control_; }
  // One input line; prints its result or error, if any.
  void HandleLine(std::string_view line);

 private:
  class Events final : public EventPrinter {
   public:
    Events(ConsoleSession& session, Emit emit, bool packets)
        : EventPrinter(std::move(emit), packets), session_(session) {}
    void LoggedIn(const std::string& strUserName, std::vector<std::string> BuddyList,
                  std::vector<std::string> BlockList, std::vector<std::string> PrivateList,
                  std::vector<std::string> MiscData, const std::string& strPreferences,
                  int16_t PrivacyMode) override;

   private:
    ConsoleSession& session_;
  };

  void Join();

  kez::posix::EventLoop& loop_;
  EventPrinter::Emit emit_;
  std::optional<JoinTarget> join_;
  Events events_;
  std::unique_ptr<kez::KezTOCSock> control_;
};

}  // namespace reposa::console
