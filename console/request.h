#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "kez/KezTOCSock.h"

namespace reposa::console {

// Carries out one input line on the control:
//   {"call": "<Method>", "args": [...]}
//   {"get": "LastChatID"}
//   {"set": "LastChatID", "value": <integer>}
// Returns the line to print afterwards, {"result": ...} or {"error": "..."},
// or nothing (a call that returns nothing, an empty line). Never throws: a
// bad line or a failing call becomes an error line.
std::optional<nlohmann::ordered_json> HandleRequest(kez::KezTOCSock& control,
                                                    std::string_view line);

}  // namespace reposa::console
