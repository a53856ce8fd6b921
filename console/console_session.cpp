#include "console_session.h"

#include "kez/posix/PosixSocket.h"
#include "request.h"

namespace reposa::console {

ConsoleSession::ConsoleSession(kez::posix::EventLoop& loop, EventPrinter::Emit emit, bool packets,
                               std::optional<JoinTarget> join)
    : loop_(loop),
      emit_(emit),
      join_(std::move(join)),
      events_(*this, std::move(emit), packets),
      control_(std::make_unique<kez::KezTOCSock>(std::make_unique<kez::posix::PosixSocket>(loop),
                                                 &events_)) {}

void ConsoleSession::HandleLine(std::string_view line) {
  if (std::optional<nlohmann::ordered_json> reply = HandleRequest(*control_, line)) emit_(*reply);
}

void ConsoleSession::Events::LoggedIn(const std::string& strUserName,
                                      std::vector<std::string> BuddyList,
                                      std::vector<std::string> BlockList,
                                      std::vector<std::string> PrivateList,
                                      std::vector<std::string> MiscData,
                                      const std::string& strPreferences, int16_t PrivacyMode) {
  EventPrinter::LoggedIn(strUserName, std::move(BuddyList), std::move(BlockList),
                         std::move(PrivateList), std::move(MiscData), strPreferences, PrivacyMode);
  // The control sends toc_init_done once this handler returns; the join
  // follows it on the next turn of the loop, as a user's would.
  if (session_.join_) session_.loop_.Post([&session = session_] { session.Join(); });
}

void ConsoleSession::Join() {
  try {
    control_->JoinChat(join_->room, join_->exchange);
  } catch (const std::exception& e) {
    emit_(nlohmann::ordered_json{{"error", std::string("JoinChat failed: ") + e.what()}});
  }
}

}  // namespace reposa::console
