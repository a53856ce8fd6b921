#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "kez/KezTOCSockEvents.h"

namespace reposa::console {

// One argument of an event as JSON: texts as byte strings (see json_bytes.h),
// numbers as integers, booleans as booleans, lists as arrays of strings.
nlohmann::ordered_json EventArgument(const std::string& text);
nlohmann::ordered_json EventArgument(bool value);
nlohmann::ordered_json EventArgument(int16_t value);
nlohmann::ordered_json EventArgument(int32_t value);
nlohmann::ordered_json EventArgument(const std::vector<std::string>& items);

// Prints one event as {"event": "<Name>", "args": [...]}, arguments in the
// listener's order. IncomingPacket only when `packets` is set.
struct PrintEvent {
  std::function<void(const nlohmann::ordered_json&)> emit;
  bool packets;

  template <class... A>
  void operator()(std::string_view name, const A&... args) const {
    if (name == "IncomingPacket" && !packets) return;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    (list.push_back(EventArgument(args)), ...);
    emit(nlohmann::ordered_json{{"event", name}, {"args", std::move(list)}});
  }
};

// Turns every event of the control into one printed JSON object.
class EventPrinter : public kez::EventForwarder<PrintEvent> {
 public:
  using Emit = std::function<void(const nlohmann::ordered_json&)>;
  EventPrinter(Emit emit, bool packets)
      : kez::EventForwarder<PrintEvent>(PrintEvent{std::move(emit), packets}) {}
};

}  // namespace reposa::console
