#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kez/KezTOCSockEvents.h"

namespace kez::test {

// One event as a line, "Name|arg|arg...". Booleans read "true"/"false";
// lists read "[a,b]".
struct EventLine {
  static std::string Text(const std::string& s) { return s; }
  static std::string Text(bool b) { return b ? "true" : "false"; }
  static std::string Text(int16_t n) { return std::to_string(n); }
  static std::string Text(int32_t n) { return std::to_string(n); }
  static std::string Text(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
  }
  template <class... Args>
  static std::string Of(std::string_view name, const Args&... args) {
    std::string line(name);
    ((line += "|" + Text(args)), ...);
    return line;
  }
};

class RecordingListener;

// Hands each event, as its line, to the listener that owns it.
struct RecordEvent {
  RecordingListener* to;
  template <class... Args>
  void operator()(std::string_view name, const Args&... args) const;
};

// Records every event as one line, so tests compare whole sequences against
// spelled-out tables. `onEvent` runs after recording, for hosts that call back.
class RecordingListener : public EventForwarder<RecordEvent> {
 public:
  RecordingListener() : EventForwarder<RecordEvent>(RecordEvent{this}) {}
  RecordingListener(const RecordingListener&) = delete;
  RecordingListener& operator=(const RecordingListener&) = delete;

  std::vector<std::string> events;
  std::function<void(const std::string& line)> onEvent;
  bool recordPackets = false;  // IncomingPacket is noise for most tests

  void Clear() { events.clear(); }
  void Add(std::string line) {
    events.push_back(line);
    if (onEvent) onEvent(line);
  }
};

template <class... Args>
void RecordEvent::operator()(std::string_view name, const Args&... args) const {
  if (name == "IncomingPacket" && !to->recordPackets) return;
  to->Add(EventLine::Of(name, args...));
}

}  // namespace kez::test
