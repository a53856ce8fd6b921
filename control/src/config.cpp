// CONFIG2: the stored configuration, one entry per line, ended by "done:".
// It may arrive over several messages; only the one holding the end marker
// is parsed, together with what came before it.

#include "core.h"

namespace kez {

namespace {

constexpr std::string_view kConfigPrefix = "CONFIG2:";
constexpr std::string_view kEndMarker = "done:\n";

// The end marker counts only where it begins a line of the gathered text: a
// group or buddy named "x done:" must not end the configuration.
bool EndsConfiguration(std::string_view pending, std::string_view fresh) {
  for (std::size_t at = fresh.find(kEndMarker); at != std::string_view::npos;
       at = fresh.find(kEndMarker, at + 1)) {
    const bool lineStart =
        at == 0 ? pending.empty() || pending.back() == '\n' : fresh[at - 1] == '\n';
    if (lineStart) return true;
  }
  return false;
}

// A buddy line stores ":" as a run of five.
std::string UnescapeBuddy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, 5, ":::::") == 0) {
      out.push_back(':');
      i += 5;
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

// What LoggedIn carries, gathered line by line.
struct Configuration {
  std::vector<std::string> buddies, blocked, permitted, misc;
  std::string preferences;
  int16_t privacyMode = 0;
};

// Adds one line to `config`; true for the end marker.
bool ReadLine(std::string_view line, Configuration& config) {
  if (line.starts_with("g:")) {
    config.buddies.push_back("[group]" + std::string(line.substr(2)));
  } else if (line.starts_with("b:")) {
    config.buddies.push_back(UnescapeBuddy(line.substr(2)));
  } else if (line.starts_with("d:")) {
    config.blocked.emplace_back(line.substr(2));
  } else if (line.starts_with("pref:")) {
    config.preferences = line.substr(5);
  } else if (line.starts_with("p:")) {
    config.permitted.emplace_back(line.substr(2));
  } else if (line.starts_with("m:")) {
    if (line.size() > 2 && line[2] >= '0' && line[2] <= '9')
      config.privacyMode = static_cast<int16_t>(line[2] - '0');
  } else if (line.starts_with("done:")) {
    return true;
  } else {
    config.misc.emplace_back(line);
  }
  return false;
}

}  // namespace

// CONFIG2:<line>\n<line>\n...done:\n
void SessionCore::Impl::HandleConfig2(std::string_view payload) {
  const std::string_view fresh =
      payload.size() > kConfigPrefix.size() ? payload.substr(kConfigPrefix.size()) : "";
  if (!EndsConfiguration(config2Pending_, fresh)) {
    // A configuration that never ends must not make the session grow: past
    // the cap, what was gathered is dropped and gathering starts again.
    if (config2Pending_.size() + fresh.size() > kMaxPendingConfig) {
      std::string().swap(config2Pending_);
      return;
    }
    config2Pending_ += fresh;
    return;
  }
  const std::string text = std::move(config2Pending_) + std::string(fresh);
  config2Pending_.clear();

  Configuration config;
  bool complete = false;
  for (std::size_t pos = 0; pos < text.size() && !complete;) {
    const std::size_t lineFeed = text.find('\n', pos);
    // A last line without its line feed is read like any other.
    const std::size_t end = lineFeed == std::string::npos ? text.size() : lineFeed;
    complete = ReadLine(std::string_view(text.data() + pos, end - pos), config);
    pos = end + 1;  // whatever follows the end marker is dropped
  }
  if (complete) {
    // The name is copied: the handler may sign on again or destroy us.
    const std::string name = screenName_;
    const uint64_t logins = logins_;
    // Signed on only if the control signed on: a configuration ahead of the
    // sign-on lets no command out early.
    if (state_ == SessionState::SigningOn) state_ = SessionState::SignedOn;
    if (!Raise([&](KezTOCSockEvents& e) {
          e.LoggedIn(name, std::move(config.buddies), std::move(config.blocked),
                     std::move(config.permitted), std::move(config.misc), config.preferences,
                     config.privacyMode);
        }))
      return;
    // A Login inside the event began a new session: it owes no toc_init_done.
    if (logins_ != logins) return;
  }
  SendPacket(2, "toc_init_done");
}

}  // namespace kez
