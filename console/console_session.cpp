#include "console_session.h"

namespace reposa::console {

void LoopTimer::Start(std::chrono::milliseconds wait, std::function<void()> due) {
  Cancel();
  id_ = loop_.AddTimer(
      wait,
      [this, due = std::move(due)] {
        id_ = 0;
        due();
      },
      false);
}

void LoopTimer::Cancel() {
  if (id_) loop_.CancelTimer(id_);
  id_ = 0;
}

ConsoleSession::ConsoleSession(kez::posix::EventLoop& loop, EventPrinter::Emit emit, bool packets,
                               const std::vector<JoinTarget>& joins,
                               std::unique_ptr<kez::Socket> socket)
    : loop_(loop),
      emit_(emit),
      timer_(loop),
      keep_(timer_, {[this] { SignOnAgain(); }, [this](const JoinTarget& room) { Join(room); }}),
      events_(*this, emit, packets),
      held_(loop, emit),
      control_(std::make_unique<kez::KezTOCSock>(std::move(socket), &events_)) {
  for (const JoinTarget& room : joins) keep_.Want(room);
}

void ConsoleSession::HandleLine(std::string_view line) {
  Handle(ParseRequest(line), line.size());
}

void ConsoleSession::Handle(ParsedLine parsed, std::size_t lineBytes) {
  if (const auto* error = std::get_if<nlohmann::ordered_json>(&parsed)) emit_(*error);
  auto* request = std::get_if<Request>(&parsed);
  if (!request) return;
  // Commands keep their order: none overtakes one still held.
  if (!request->NeedsServer() ||
      (held_.Empty() && control_->State() == kez::SessionState::SignedOn)) {
    Run(std::move(*request));
  } else if (SignOnComing()) {
    held_.Hold(std::move(*request), lineBytes);
  } else {
    emit_(nlohmann::ordered_json{{"error", std::string(request->method->name) +
                                               ": not signed on, and no sign-on is coming"}});
  }
}

// A joined room is joined again with the exchange its call asked for.
void ConsoleSession::Run(Request request) {
  CallMade call;
  std::optional<nlohmann::ordered_json> reply = CarryOut(*control_, std::move(request), &call);
  if (call.method == "JoinChat")
    keep_.JoinRequested(
        JoinTarget{std::get<std::string>(call.args.at(0)), std::get<int16_t>(call.args.at(1))});
  if (reply) emit_(*reply);
}

bool ConsoleSession::SignOnComing() const {
  const kez::SessionState state = control_->State();
  return state == kez::SessionState::Connecting || state == kez::SessionState::SigningOn ||
         keep_.Waiting().has_value();
}

// After the sign-on's own work, as the rooms are: on a later turn.
void ConsoleSession::RunHeldCalls() {
  while (!held_.Empty() && control_->State() == kez::SessionState::SignedOn) Run(held_.Take());
}

void ConsoleSession::KeepPresent(SignOn signOn, std::function<void()> onGiveUp) {
  signOn_ = std::move(signOn);
  onGiveUp_ = std::move(onGiveUp);
  keep_.SetEnabled(true);
  SignOnAgain();
}

void ConsoleSession::SignOnAgain() {
  control_->Login(signOn_.screenName, signOn_.password, signOn_.host, signOn_.port,
                  signOn_.authServer);
}

void ConsoleSession::SessionLost() {
  Settled();
  if (const auto retry = keep_.Lost())
    emit_(nlohmann::ordered_json{
        {"notice", "reconnecting"}, {"in", retry->ShownSeconds()}, {"attempt", retry->attempt}});
  if (!SignOnComing()) held_.RefuseAll("not sent: the session ended, and no sign-on is coming");
}

void ConsoleSession::Join(const JoinTarget& room) {
  try {
    control_->JoinChat(room.room, room.exchange);
  } catch (const std::exception& e) {
    emit_(nlohmann::ordered_json{{"error", std::string("JoinChat failed: ") + e.what()}});
  }
}

void ConsoleSession::Events::LoggedIn(const std::string& strUserName,
                                      std::vector<std::string> BuddyList,
                                      std::vector<std::string> BlockList,
                                      std::vector<std::string> PrivateList,
                                      std::vector<std::string> MiscData,
                                      const std::string& strPreferences, int16_t PrivacyMode) {
  EventPrinter::LoggedIn(strUserName, std::move(BuddyList), std::move(BlockList),
                         std::move(PrivateList), std::move(MiscData), strPreferences, PrivacyMode);
  session_.keep_.LoggedIn();
  session_.loop_.Post([&s = session_] { s.RunHeldCalls(); });
  session_.Settled();
}

void ConsoleSession::Events::JoinedChat(const std::string& strChatName, int32_t lngChatID) {
  EventPrinter::JoinedChat(strChatName, lngChatID);
  session_.keep_.JoinedChat(strChatName, lngChatID);
}

void ConsoleSession::Events::LeftChat(int32_t lngChatID) {
  EventPrinter::LeftChat(lngChatID);
  session_.keep_.LeftChat(lngChatID);
}

void ConsoleSession::Events::LoggedOut(const std::string& strUserName) {
  EventPrinter::LoggedOut(strUserName);
  session_.keep_.LoggedOut();
  session_.held_.RefuseAll("not sent: signed off");
  session_.Settled();
}

void ConsoleSession::Events::Error(int16_t intErrorCode, const std::string& strError) {
  EventPrinter::Error(intErrorCode, strError);
  ConsoleSession& s = session_;
  if (s.keep_.Error(intErrorCode, strError, s.control_->State()))
    s.loop_.Post([&s] {
      if (s.onGiveUp_) s.onGiveUp_();
    });
  s.Settled();
}

void ConsoleSession::Events::WinsockError(const std::string& strError) {
  EventPrinter::WinsockError(strError);
  session_.SessionLost();
}

void ConsoleSession::Events::ConnectionClosed() {
  EventPrinter::ConnectionClosed();
  session_.SessionLost();
}

}  // namespace reposa::console
