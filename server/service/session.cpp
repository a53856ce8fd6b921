#include "service/session.h"

#include "metrics/metrics.h"
#include "service/command_parser.h"
#include "service/messages.h"
#include "service/names.h"

namespace reposa::server {

Session::Session(SessionId id, Service& service, Transport& transport, Log log, Source source)
    : id_(id),
      service_(service),
      transport_(transport),
      log_(std::move(log)),
      source_(std::move(source)) {
  if (!log_) log_ = [](std::string_view) {};
}

std::size_t Session::Receive(std::string_view bytes, std::size_t maxFrames) {
  more_ = false;
  if (state_ == State::Finished) return 0;
  reader_.Feed(bytes);
  if (state_ == State::AwaitVerdict) {
    if (reader_.buffered() > service_.limits().maxInputAwaitingVerdict)
      Close("sent too much before signing on");
    return 0;
  }
  std::size_t handled = 0;
  while (state_ != State::Finished && state_ != State::AwaitVerdict) {
    if (handled == maxFrames) {
      more_ = reader_.buffered() > 0;
      break;
    }
    std::optional<Frame> frame = reader_.Next();
    if (!greeted_ && reader_.opened()) {
      // The server's own sign-on frame answers the opening: FLAP version 1.
      greeted_ = true;
      SendFrame(FrameType::SignOn, std::string_view("\0\0\0\1", 4));
    }
    if (frame) {
      ++handled;
      HandleFrame(*frame);
      continue;
    }
    if (reader_.status() == FlapReader::Status::BadOpening) Close("no FLAPON opening");
    if (reader_.status() == FlapReader::Status::BadMarker)
      Refuse(msg::kBadInput, "bad frame marker");
    break;
  }
  return handled;
}

void Session::HandleFrame(const Frame& frame) {
  const auto type = static_cast<FrameType>(frame.type);
  if (type == FrameType::KeepAlive || type == FrameType::Error) return;
  if (type == FrameType::SignOff) return Close("signed off");
  switch (state_) {
    case State::AwaitSignOnFrame:
      if (type != FrameType::SignOn) return Refuse(msg::kBadInput, "expected a sign-on frame");
      return HandleSignOnFrame(frame);
    case State::AwaitVerdict:  // never: no frame is taken while waiting
    case State::AwaitLogin:
    case State::SignedOn: {
      if (type != FrameType::Data) {
        SendMessage(msg::Error(msg::kBadInput));
        return;
      }
      std::string_view line = frame.payload;
      if (!line.empty() && line.back() == '\0') line.remove_suffix(1);
      if (state_ == State::AwaitLogin) return HandleLogin(line);
      return HandleCommand(line);
    }
    case State::Finished:
      return;
  }
}

// Payload: version (4 bytes, 1), tag 1 (2 bytes), name length (2), name.
void Session::HandleSignOnFrame(const Frame& frame) {
  const std::string_view p = frame.payload;
  if (p.size() < 8 || p.substr(4, 2) != std::string_view("\0\1", 2))
    return Refuse(msg::kBadInput, "malformed sign-on frame");
  const std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(p[6])) << 8 |
                             static_cast<unsigned char>(p[7]);
  if (p.size() != 8 + length) return Refuse(msg::kBadInput, "malformed sign-on frame");
  frameName_ = std::string(p.substr(8));
  state_ = State::AwaitLogin;
}

// toc2_login <auth host> <port> <screen name> <roasted password> ...
void Session::HandleLogin(std::string_view line) {
  const std::optional<CommandLine> login =
      line.size() <= service_.limits().maxCommandLine ? ParseCommandLine(line) : std::nullopt;
  if (!login || login->word != "toc2_login" || login->args.size() < 4)
    return Refuse(msg::kBadInput, "expected toc2_login");
  const std::string& name = login->args[2];
  if (NormalizeName(name) != NormalizeName(frameName_))
    return Refuse(msg::kBadInput, "screen names of sign-on frame and login differ");
  const std::optional<std::string> password = UnroastPassword(login->args[3]);
  if (!password) return Refuse(msg::kBadAccount, "malformed password");
  switch (service_.SignOn(id_, name, *password, source_)) {
    case kSignOnRefused:
      return Refuse(msg::kBadAccount, "wrong screen name or password", service_.TakeRefusalDelay());
    case kSignOnTooSoon:
      return Refuse(msg::kTooSoon, "too soon after failed sign-ons");
    case kSignOnAccepted:
      state_ = State::SignedOn;
      return;
    case kSignOnPending:
      state_ = State::AwaitVerdict;
      return;
  }
}

void Session::Verdict(bool accepted) {
  if (state_ != State::AwaitVerdict) return;
  // The check waited out what earlier failures cost before it ran, so the
  // refusal goes at once.
  if (!accepted) return Refuse(msg::kBadAccount, "wrong screen name or password");
  state_ = State::SignedOn;
  // What came while the password was checked waits in the reader; the
  // server's fair turns take it from here.
  more_ = reader_.buffered() > 0;
}

void Session::HandleCommand(std::string_view line) {
  std::optional<CommandLine> command;
  // Longer lines get ERROR:911; every answer built from a shorter one fits
  // in one frame. The closing NUL is not counted.
  if (line.size() <= service_.limits().maxCommandLine && line.find('\0') == std::string_view::npos)
    command = ParseCommandLine(line);
  if (!command) return SendMessage(msg::Error(msg::kBadInput));
  service_.Command(id_, *command);
}

void Session::SendMessage(std::string_view message) {
  if (state_ != State::Finished) SendFrame(FrameType::Data, message);
}

void Session::SendKeepAlive() {
  if (state_ == State::SignedOn) SendFrame(FrameType::KeepAlive, {});
}

void Session::End(std::string_view why) {
  if (state_ == State::Finished) return;
  SendFrame(FrameType::SignOff, {});
  Close(why);
}

void Session::SendFrame(FrameType type, std::string_view payload) {
  // Every message is built far below the limit; one that is not is dropped
  // rather than sent with a broken length.
  if (std::optional<std::string> frame = writer_.Encode(type, payload)) transport_.Write(*frame);
}

void Session::Refuse(int code, std::string_view why, std::chrono::milliseconds delay) {
  if (code == msg::kBadInput) metrics::Count(metrics::Counter::refusedBadInput);
  if (delay.count() > 0) transport_.Hold(delay);
  SendFrame(FrameType::Data, msg::Error(code));
  Close(why);
}

void Session::Close(std::string_view why) {
  if (state_ == State::Finished) return;
  state_ = State::Finished;
  log_("session " + std::to_string(id_) + " closed: " + std::string(why));
  transport_.Finish();
}

}  // namespace reposa::server
