#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kez/KezTOCSock.h"

namespace reposa::console {

// The types of the control's public surface.
enum class ArgKind { Text, Int16, Int32, Bool };

struct Param {
  std::string_view name;
  ArgKind kind;
};

// A request that cannot be carried out; what() is the text of its error line.
struct RequestError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

using ArgValue = std::variant<std::string, int16_t, int32_t, bool>;

// Converted arguments, each already of the kind its parameter asks for.
class Args {
 public:
  explicit Args(std::vector<ArgValue> values) : values_(std::move(values)) {}
  std::size_t size() const { return values_.size(); }
  bool Has(std::size_t i) const { return i < values_.size(); }
  const std::string& Text(std::size_t i) const { return std::get<std::string>(values_.at(i)); }
  int16_t Int16(std::size_t i) const { return std::get<int16_t>(values_.at(i)); }
  int32_t Int32(std::size_t i) const { return std::get<int32_t>(values_.at(i)); }
  bool Bool(std::size_t i) const { return std::get<bool>(values_.at(i)); }

 private:
  std::vector<ArgValue> values_;
};

// What a call returns: text for RemoveHtml and GetChatName, nothing otherwise.
using CallResult = std::optional<std::string>;

// One public method of the control.
struct Method {
  std::string_view name;
  std::vector<Param> params;  // in the order of the control's signature
  std::size_t required;       // the rest are trailing optional parameters
  CallResult (*invoke)(kez::KezTOCSock& control, const Args& args);
  // A client command: it reaches the server only while the control's
  // State() is SigningOn or SignedOn, and sends nothing otherwise.
  bool command = false;
};

// The public method of the control called `name`, or null.
const Method* FindMethod(std::string_view name);

std::string_view KindName(ArgKind kind);

// Converts one JSON value to `kind`; throws RequestError saying what is wrong.
// The message never quotes a text value, which may be a password.
ArgValue ConvertArgument(const nlohmann::ordered_json& value, ArgKind kind);

}  // namespace reposa::console
