#include "event_printer.h"

#include "json_bytes.h"

namespace reposa::console {

using json = nlohmann::ordered_json;

json EventArgument(const std::string& text) {
  return BytesToJson(text);
}
json EventArgument(bool value) {
  return value;
}
json EventArgument(int16_t value) {
  return value;
}
json EventArgument(int32_t value) {
  return value;
}
json EventArgument(const std::vector<std::string>& items) {
  json list = json::array();
  for (const std::string& item : items) list.push_back(BytesToJson(item));
  return list;
}

}  // namespace reposa::console
