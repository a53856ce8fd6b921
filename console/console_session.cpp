#include "console_session.h"

#include <cmath>

#include "json_bytes.h"
#include "kez/posix/PosixSocket.h"
#include "request.h"

namespace reposa::console {

ConsoleSession::ConsoleSession(kez::posix::EventLoop& loop, EventPrinter::Emit emit, bool packets,
                               std::vector<JoinTarget> joins)
    : loop_(loop),
      emit_(emit),
      joins_(std::move(joins)),
      events_(*this, std::move(emit), packets),
      control_(std::make_unique<kez::KezTOCSock>(std::make_unique<kez::posix::PosixSocket>(loop),
                                                 &events_)) {
  for (const JoinTarget& room : joins_) rooms_.Want(room);
}

ConsoleSession::~ConsoleSession() {
  CancelRetry();
}

void ConsoleSession::HandleLine(std::string_view line) {
  if (signOn_) NoteJoinCall(line);
  if (std::optional<nlohmann::ordered_json> reply = HandleRequest(*control_, line)) emit_(*reply);
}

// Keeps the exchange of a JoinChat call for joining the room again later.
void ConsoleSession::NoteJoinCall(std::string_view line) {
  if (line.find("JoinChat") == std::string_view::npos) return;
  const auto request = nlohmann::ordered_json::parse(line.begin(), line.end(), nullptr, false);
  if (!request.is_object() || request.value("call", "") != "JoinChat") return;
  const auto args = request.find("args");
  if (args == request.end() || !args->is_array() || args->size() != 2 || !(*args)[0].is_string() ||
      !(*args)[1].is_number_integer())
    return;
  const auto room = Utf8ToBytes((*args)[0].get_ref<const std::string&>());
  const auto exchange = (*args)[1].get<long long>();
  if (room && exchange >= INT16_MIN && exchange <= INT16_MAX)
    rooms_.Requested(JoinTarget{*room, static_cast<int16_t>(exchange)});
}

void ConsoleSession::KeepPresent(SignOn signOn, kez::Backoff backoff,
                                 std::function<void()> onGiveUp) {
  signOn_ = std::move(signOn);
  backoff_ = std::move(backoff);
  onGiveUp_ = std::move(onGiveUp);
  control_->Login(signOn_->screenName, signOn_->password, signOn_->host, signOn_->port,
                  signOn_->authServer);
}

void ConsoleSession::CancelRetry() {
  if (retry_) loop_.CancelTimer(retry_);
  retry_ = 0;
}

void ConsoleSession::SessionLost() {
  if (!signOn_ || signedOff_ || backoff_->Stopped() || retry_) return;
  const kez::Backoff::Seconds wait = backoff_->NextDelay();
  emit_(nlohmann::ordered_json{{"notice", "reconnecting"},
                               {"in", std::round(wait.count() * 10) / 10},
                               {"attempt", backoff_->Attempt()}});
  retry_ = loop_.AddTimer(
      std::chrono::ceil<std::chrono::milliseconds>(wait),
      [this] {
        retry_ = 0;
        control_->Login(signOn_->screenName, signOn_->password, signOn_->host, signOn_->port,
                        signOn_->authServer);
      },
      false);
}

void ConsoleSession::Events::LoggedIn(const std::string& strUserName,
                                      std::vector<std::string> BuddyList,
                                      std::vector<std::string> BlockList,
                                      std::vector<std::string> PrivateList,
                                      std::vector<std::string> MiscData,
                                      const std::string& strPreferences, int16_t PrivacyMode) {
  EventPrinter::LoggedIn(strUserName, std::move(BuddyList), std::move(BlockList),
                         std::move(PrivateList), std::move(MiscData), strPreferences, PrivacyMode);
  ConsoleSession& s = session_;
  s.signedOff_ = false;
  s.CancelRetry();
  if (s.backoff_) s.backoff_->OnLoggedIn();
  // The control sends toc_init_done once this handler returns; the joins
  // follow it once this arrival is handled, as a user's would.
  std::vector<JoinTarget> rooms;
  if (s.signOn_) {
    rooms = s.rooms_.Rooms();
  } else {
    rooms = s.joins_;
  }
  for (JoinTarget& room : rooms) s.loop_.Post([&s, room = std::move(room)] { s.Join(room); });
}

void ConsoleSession::Events::JoinedChat(const std::string& strChatName, int32_t lngChatID) {
  EventPrinter::JoinedChat(strChatName, lngChatID);
  session_.rooms_.Joined(strChatName, lngChatID);
}

void ConsoleSession::Events::LeftChat(int32_t lngChatID) {
  EventPrinter::LeftChat(lngChatID);
  session_.rooms_.Left(lngChatID);
}

void ConsoleSession::Events::LoggedOut(const std::string& strUserName) {
  EventPrinter::LoggedOut(strUserName);
  session_.signedOff_ = true;  // signed off on purpose: stay off
  session_.CancelRetry();
}

void ConsoleSession::Events::Error(int16_t intErrorCode, const std::string& strError) {
  EventPrinter::Error(intErrorCode, strError);
  ConsoleSession& s = session_;
  if (s.signOn_ && s.backoff_->OnError(intErrorCode)) {
    s.CancelRetry();
    s.loop_.Post([&s] {
      if (s.onGiveUp_) s.onGiveUp_();
    });
  }
}

void ConsoleSession::Events::WinsockError(const std::string& strError) {
  EventPrinter::WinsockError(strError);
  session_.SessionLost();
}

void ConsoleSession::Events::ConnectionClosed() {
  EventPrinter::ConnectionClosed();
  session_.SessionLost();
}

void ConsoleSession::Join(const JoinTarget& room) {
  try {
    control_->JoinChat(room.room, room.exchange);
  } catch (const std::exception& e) {
    emit_(nlohmann::ordered_json{{"error", std::string("JoinChat failed: ") + e.what()}});
  }
}

}  // namespace reposa::console
