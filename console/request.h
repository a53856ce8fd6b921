#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <variant>

#include "call_table.h"
#include "kez/KezTOCSock.h"

namespace reposa::console {

// The call a line made on the control: the method's name and its arguments,
// converted to the kinds of its parameters.
struct CallMade {
  std::string_view method;  // empty: the line made no call, or the call failed
  std::vector<ArgValue> args;
};

// An input line read and checked, ready to be carried out.
struct Request {
  enum class Kind { Call, Get, Set } kind = Kind::Call;
  const Method* method = nullptr;  // Call
  std::vector<ArgValue> args;      // Call
  int32_t value = 0;               // Set
  // A client command: it needs a signed-on session to reach the server.
  bool NeedsServer() const { return kind == Kind::Call && method->command; }
};

// Nothing (an empty line), the error line for a bad line, or the request.
// With several accounts a line names the one it is for: given `account`, an
// "account" member (a name, as bytes) is taken out into it before the rest is
// read; without it, that member is refused like any unknown one.
using ParsedLine = std::variant<std::monostate, nlohmann::ordered_json, Request>;
ParsedLine ParseRequest(std::string_view line, std::optional<std::string>* account = nullptr);

// Carries out a parsed request; returns its line, as HandleRequest does.
std::optional<nlohmann::ordered_json> CarryOut(kez::KezTOCSock& control, Request request,
                                               CallMade* made = nullptr);

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
