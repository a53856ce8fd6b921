#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "call_table.h"
#include "kez/KezTOCSock.h"

namespace reposa::console {

// The call a line made on the control: the method's name and its arguments,
// converted to the kinds of its parameters.
struct CallMade {
  std::string_view method;  // empty: the line made no call, or the call failed
  std::vector<ArgValue> args;
};

// Carries out one input line on the control:
//   {"call": "<Method>", "args": [...]}
//   {"get": "LastChatID"}
//   {"set": "LastChatID", "value": <integer>}
// Returns the line to print afterwards, {"result": ...} or {"error": "..."},
// or nothing (a call that returns nothing, an empty line). Never throws: a
// bad line or a failing call becomes an error line. When `made` is given it
// says which call returned normally, so the caller need not read the line
// again.
std::optional<nlohmann::ordered_json> HandleRequest(kez::KezTOCSock& control, std::string_view line,
                                                    CallMade* made = nullptr);

}  // namespace reposa::console
