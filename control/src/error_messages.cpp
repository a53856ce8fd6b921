// ERROR:<code>:<argument>, turned into an Error event with its text.

#include "core.h"
#include "wire.h"

namespace kez {

namespace {

// ERROR:951:<room>:<sub-code>
std::string ChatJoinFailure(std::string_view room, const std::vector<std::string_view>& f) {
  std::string_view reason = "Unknown error";
  if (f.size() > 3) {
    if (f[3] == "-1")
      reason = "Possible Reset";
    else if (f[3] == "24")
      reason = "Chat Full";
    else if (f[3] == "48")
      reason = "Rated";
    else if (f[3] == "74")
      reason = "Ejected";
  }
  return "Could not join chat '" + std::string(room) + "': " + std::string(reason);
}

}  // namespace

// ERROR:<code>[:<argument>]
void SessionCore::Impl::HandleError(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 3);
  if (f.size() < 2) return;
  const std::string_view code = f[1];
  const bool hasArgument = f.size() > 2;
  const std::string argument = hasArgument ? std::string(f[2]) : std::string();

  int16_t number = 0;
  std::string text;
  if (code == "901" || code == "902") {
    if (!hasArgument) return;
    number = code == "901" ? 901 : 902;
    text = code == "901" ? argument + " is not available"
                         : "Warning of " + argument + " is not currently available";
  } else if (code == "903") {
    number = 903;
    text = "A message has been dropped, you are exceeding the server speed limit";
  } else if (code == "911") {
    number = 911;
    text = "Error validating input";
  } else if (code == "951") {
    const auto g = wire::SplitFields(payload, 4);
    if (g.size() < 3) return;
    number = 951;
    text = ChatJoinFailure(g[2], g);
  } else if (code == "980") {
    number = 980;
    text = "Invalid account or password";
  } else if (code == "983") {
    number = 983;
    text = "You are attempting to sign on again too soon";
  } else if (code == "989") {
    if (!hasArgument) return;
    if (argument == "7") {
      number = 989;
      text = "The screenname or password you entered is not valid";
    } else if (argument == "17") {
      number = 989;
      text = "Sign on Blocked";
    } else {
      const auto sub = wire::ToInt16(argument);
      if (!sub) return;
      number = *sub;
      text = "Unknown error code 989, sub error: " + argument;
    }
  } else {
    const auto converted = wire::ToInt16(code);
    if (!converted) return;
    number = *converted;
    text = "Error code: " + std::string(code);
  }
  Raise([&](KezTOCSockEvents& e) { e.Error(number, text); });
}

}  // namespace kez
