// Connection lifecycle: Login, LogOff, the socket's notifications, and the
// frame-type half of ProcessFrame with its sign-on and keep-alive answers.

#include <stdexcept>

#include "core.h"
#include "wire.h"

namespace kez {

namespace {

constexpr std::string_view kFlapOn = "FLAPON\n\n";

// FLAP version 1, then TLV tag 1 (screen name) with its length.
std::string ClientSignOnPayload(const std::string& screenName) {
  std::string payload("\0\0\0\1\0\1", 6);
  payload += wire::WordToBytes(static_cast<int32_t>(screenName.size()));
  payload += screenName;
  return payload;
}

// The login line is one command line of space-separated fields: the screen
// name and the authorizer host must hold no byte that would end the line,
// split a field, or (in the name) open a quoted field.
bool FitsLoginField(std::string_view text, bool allowQuote) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x21 || byte == 0x7F || (!allowQuote && c == '"')) return false;
  }
  return true;
}

}  // namespace

void SessionCore::Impl::Login(std::string_view UserName, std::string_view Password,
                              std::string_view TOCServer, int32_t Port,
                              std::string_view AuthServer) {
  std::string screenName = wire::NormalizeName(UserName);
  if (wire::TrimSpaces(AuthServer).empty()) AuthServer = kDefaultAuthServer;
  if (!FitsLoginField(screenName, false))
    throw std::invalid_argument("screen name holds a control byte, a space or a quote");
  if (!FitsLoginField(wire::TrimSpaces(AuthServer), true))
    throw std::invalid_argument("authorizer host holds a control byte or a space");
  ++logins_;
  ClearChatTable();
  screenName_ = std::move(screenName);
  roastedPassword_ = wire::RoastPassword(Password);
  tocServerHost_ = std::string(wire::TrimSpaces(TOCServer));
  serverPort_ = Port;
  authServerHost_ = std::string(wire::TrimSpaces(AuthServer));
  // Nothing of an earlier connection may be glued onto the new one.
  config2Pending_.clear();
  rxNested_.clear();
  if (reading_) {
    discardRx_ = true;  // the running reader drops its leftover when done
  } else {
    rx_.clear();
    rxPos_ = 0;
  }
  // The owner closes the old connection and opens the new one.
  open_ = false;
  state_ = SessionState::Connecting;
}

void SessionCore::Impl::RequestClose() {
  open_ = false;
  state_ = SessionState::Closed;
  if (close_) CallOwner([&] { close_(); });
}

void SessionCore::Impl::LogOff() {
  Entry entry(*this);
  ClearChatTable();
  RequestClose();
  // A copy: the handler may sign on again or destroy the control while it
  // still holds the name.
  const std::string name = screenName_;
  const uint64_t logins = logins_;
  if (!Raise([&](KezTOCSockEvents& e) { e.LoggedOut(name); })) return entry.Rethrow();
  // A Login inside the handler stored the new session's members; keep them.
  if (logins_ == logins) {
    screenName_.clear();
    roastedPassword_.clear();
    authServerHost_.clear();
    tocServerHost_.clear();
    serverPort_ = kDefaultTOCPort;
  }
  lastChatID_ = 0;
  entry.Rethrow();
}

void SessionCore::Impl::Opened() {
  open_ = true;
  state_ = SessionState::Connecting;
  Emit(kFlapOn);
}

void SessionCore::Impl::Failed(const std::string& description) {
  // The connection already ended: a late or repeated report changes nothing.
  if (state_ == SessionState::Closed) return;
  Entry entry(*this);
  // Nothing more goes out on the failed connection, not even from the handler.
  open_ = false;
  state_ = SessionState::Closed;
  const uint64_t logins = logins_;
  if (!Raise([&](KezTOCSockEvents& e) { e.WinsockError(description); })) return entry.Rethrow();
  // A handler that signed on again has a new connection under way.
  if (logins_ == logins) RequestClose();
  entry.Rethrow();
}

void SessionCore::Impl::PeerClosed() {
  if (state_ == SessionState::Closed) return;
  Entry entry(*this);
  RequestClose();
  Raise([](KezTOCSockEvents& e) { e.ConnectionClosed(); });
  entry.Rethrow();
}

bool SessionCore::Impl::ProcessFrame(std::string_view frame) {
  std::shared_ptr<bool> alive = alive_;
  const uint64_t logins = logins_;
  if (!Raise([&](KezTOCSockEvents& e) { e.IncomingPacket(std::string(frame)); })) return false;
  // A Login inside the event ends the connection this frame came over.
  if (logins_ != logins) return true;
  const auto type = static_cast<unsigned char>(frame[1]);
  switch (type) {
    case 1:  // sign-on: answer with ours and the login line
      SendPacket(1, ClientSignOnPayload(screenName_));
      SendPacket(2, "toc2_login " + authServerHost_ + " " + std::to_string(serverPort_) + " " +
                        screenName_ + " " + roastedPassword_ +
                        " English  \"KezTOCSock 2.0\" 160 US \"\" \"\" 3 0 30303 -kentucky "
                        "-utf8 58203917");
      // From here on commands may follow the login line, unless the
      // IncomingPacket handler ended the connection and nothing went out.
      if (open_) state_ = SessionState::SigningOn;
      break;
    case 2:
      DispatchMessage(frame.substr(6));
      break;
    case 3:  // error
    case 4:  // sign-off
      break;
    case 5:  // keep-alive
      SendPacket(5, {});
      break;
    default:
      Raise([&](KezTOCSockEvents& e) {
        e.Error(error::kUnknownFrameType,
                "Unknown Channel Detected: " + std::string(1, static_cast<char>(type)));
      });
      break;
  }
  return *alive;
}

// SIGN_ON: the server accepted the login; nothing beyond IncomingPacket.
void SessionCore::Impl::HandleSignOn(std::string_view /*payload*/) {}

// NICK:<screen name as displayed>
void SessionCore::Impl::HandleNick(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 2);
  if (f.size() < 2) return;
  Raise([&](KezTOCSockEvents& e) { e.ScreennameFormat(std::string(f[1])); });
}

}  // namespace kez
