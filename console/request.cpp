#include "request.h"

#include <initializer_list>

#include "call_table.h"
#include "json_bytes.h"

namespace reposa::console {

namespace {

using json = nlohmann::ordered_json;

constexpr std::string_view kProperty = "LastChatID";

bool IsBlank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// Unknown members are refused, so a misspelt "args" cannot pass unnoticed.
void OnlyMembers(const json& request, std::initializer_list<std::string_view> allowed) {
  for (const auto& [key, value] : request.items()) {
    bool known = false;
    for (std::string_view name : allowed) known = known || key == name;
    if (!known) throw RequestError("unexpected member \"" + key + "\"");
  }
}

std::string CountText(const Method& method) {
  const std::size_t all = method.params.size();
  std::string text = std::to_string(method.required);
  if (method.required != all) text += " to " + std::to_string(all);
  return text + (all == 1 ? " argument" : " arguments");
}

Request ParseCall(const json& request) {
  OnlyMembers(request, {"call", "args"});
  const json& name = request["call"];
  if (!name.is_string()) throw RequestError("\"call\" must be a method name");
  const Method* method = FindMethod(name.get_ref<const std::string&>());
  if (!method) throw RequestError("unknown method \"" + name.get<std::string>() + "\"");

  static const json kNoArgs = json::array();
  const json& args = request.contains("args") ? request["args"] : kNoArgs;
  if (!args.is_array())
    throw RequestError(std::string(method->name) + ": \"args\" must be an array");
  if (args.size() < method->required || args.size() > method->params.size())
    throw RequestError(std::string(method->name) + " takes " + CountText(*method) + ", " +
                       std::to_string(args.size()) + " given");

  Request call{Request::Kind::Call, method, {}, 0};
  call.args.reserve(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    const Param& param = method->params[i];
    try {
      call.args.push_back(ConvertArgument(args[i], param.kind));
    } catch (const RequestError& e) {
      throw RequestError(std::string(method->name) + " argument " + std::to_string(i + 1) + " (" +
                         std::string(param.name) + "): " + e.what());
    }
  }
  return call;
}

std::optional<json> Call(kez::KezTOCSock& control, Request call, CallMade* made) {
  std::vector<ArgValue> reported;  // a copy for `made`; the values go to the call
  if (made) reported = call.args;
  CallResult result;
  try {
    result = call.method->invoke(control, Args(std::move(call.args)));
  } catch (const std::exception& e) {
    // The control refuses what it cannot send (overflow, NUL byte, too long).
    throw RequestError(std::string(call.method->name) + " failed: " + e.what());
  }
  if (made) *made = CallMade{call.method->name, std::move(reported)};
  if (!result) return std::nullopt;
  return json{{"result", BytesToJson(*result)}};
}

void RequireProperty(const json& name) {
  if (!name.is_string() || name.get_ref<const std::string&>() != kProperty)
    throw RequestError("the only property is \"LastChatID\"");
}

Request ParseSet(const json& request) {
  OnlyMembers(request, {"set", "value"});
  RequireProperty(request["set"]);
  if (!request.contains("value")) throw RequestError("\"set\" needs a \"value\"");
  try {
    return Request{Request::Kind::Set,
                   nullptr,
                   {},
                   std::get<int32_t>(ConvertArgument(request["value"], ArgKind::Int32))};
  } catch (const RequestError& e) {
    throw RequestError(std::string("LastChatID: ") + e.what());
  }
}

// The "account" member, taken out of the request.
std::optional<std::string> TakeAccount(json& request) {
  const auto member = request.find("account");
  if (member == request.end()) return std::nullopt;
  std::optional<std::string> name;
  if (member->is_string()) name = Utf8ToBytes(member->get_ref<const std::string&>());
  if (!name) throw RequestError("\"account\" must be the name of an account");
  request.erase(member);
  return name;
}

Request ParseLine(std::string_view line, std::optional<std::string>* account) {
  json request;
  try {
    request = json::parse(line.begin(), line.end());
  } catch (const json::parse_error& e) {
    // The parser's own text quotes the line, which may hold a password.
    throw RequestError("not valid JSON (at byte " + std::to_string(e.byte) + ")");
  }
  if (!request.is_object()) throw RequestError("expected a JSON object");
  if (account) *account = TakeAccount(request);
  if (request.contains("call")) return ParseCall(request);
  if (request.contains("get")) {
    OnlyMembers(request, {"get"});
    RequireProperty(request["get"]);
    return Request{Request::Kind::Get, nullptr, {}, 0};
  }
  if (request.contains("set")) return ParseSet(request);
  throw RequestError("expected a \"call\", \"get\" or \"set\" member");
}

json ErrorLine(const std::exception& e, bool known) {
  return json{{"error", known ? std::string(e.what())
                              : std::string("cannot handle this line: ") + e.what()}};
}

}  // namespace

ParsedLine ParseRequest(std::string_view line, std::optional<std::string>* account) {
  if (IsBlank(line)) return std::monostate{};
  try {
    return ParseLine(line, account);
  } catch (const RequestError& e) {
    return ErrorLine(e, true);
  } catch (const std::exception& e) {
    return ErrorLine(e, false);
  }
}

std::optional<json> CarryOut(kez::KezTOCSock& control, Request request, CallMade* made) {
  if (made) *made = {};
  try {
    switch (request.kind) {
      case Request::Kind::Call:
        return Call(control, std::move(request), made);
      case Request::Kind::Get:
        return json{{"result", control.LastChatID()}};
      case Request::Kind::Set:
        control.SetLastChatID(request.value);
        return std::nullopt;
    }
    return std::nullopt;
  } catch (const RequestError& e) {
    return ErrorLine(e, true);
  } catch (const std::exception& e) {
    return ErrorLine(e, false);
  }
}

std::optional<json> HandleRequest(kez::KezTOCSock& control, std::string_view line, CallMade* made) {
  if (made) *made = {};
  ParsedLine parsed = ParseRequest(line);
  if (auto* request = std::get_if<Request>(&parsed))
    return CarryOut(control, std::move(*request), made);
  if (auto* error = std::get_if<json>(&parsed)) return std::move(*error);
  return std::nullopt;
}

}  // namespace reposa::console
