#include "held_calls.h"

#include <gtest/gtest.h>

#include <chrono>

namespace reposa::console {
namespace {

using namespace std::chrono_literals;

Request Call(std::string_view name) {
  return Request{Request::Kind::Call, FindMethod(name), {}, 0};
}

// What is held comes out in order; what does not fit in number or bytes,
// and what waits too long, gets its error line at once.
TEST(HeldCalls, KeepsOrderAndRefusesPastEachBound) {
  kez::posix::EventLoop loop;
  std::vector<std::string> errors;
  HeldCalls held(loop, [&](const nlohmann::ordered_json& line) { errors.push_back(line["error"]); },
                 {.calls = 2, .bytes = 100, .wait = 30ms});
  held.Hold(Call("GetStatus"), 10);
  held.Hold(Call("SetIdleTime"), 95);  // past the bytes
  held.Hold(Call("SendIM"), 10);
  held.Hold(Call("SetAwayMessage"), 10);  // past the number
  EXPECT_EQ(errors, (std::vector<std::string>{
                        "SetIdleTime: not sent: too many calls wait for the sign-on",
                        "SetAwayMessage: not sent: too many calls wait for the sign-on"}));
  EXPECT_EQ(held.Take().method->name, "GetStatus");
  errors.clear();
  const auto t0 = std::chrono::steady_clock::now();
  while (errors.empty() && std::chrono::steady_clock::now() - t0 < 5s) loop.RunOnce(50ms);
  EXPECT_EQ(errors,
            (std::vector<std::string>{"SendIM: not sent: the session did not sign on in time"}));
  EXPECT_TRUE(held.Empty());
  held.Hold(Call("GetStatus"), 100);  // room again, bytes included
  held.RefuseAll("signed off");
  EXPECT_EQ(errors.back(), "GetStatus: signed off");
}

}  // namespace
}  // namespace reposa::console
