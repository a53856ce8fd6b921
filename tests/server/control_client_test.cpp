// The session control itself, on the posix socket, against the server.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "FlapClient.h"
#include "RecordingListener.h"
#include "ServerThread.h"
#include "kez/KezTOCSock.h"
#include "kez/posix/EventLoop.h"
#include "kez/posix/PosixSocket.h"

namespace reposa::server::test {
namespace {

using namespace std::chrono_literals;

TEST(ControlClient, SignsOnAndGetsItsStoredLists) {
  ServerOptions options;
  options.keepAlive = 20ms;
  ServerThread server(options);
  {
    FlapClient setup(server.port());
    ASSERT_TRUE(setup.SignOn("Some Body"));
    setup.SendLine("toc2_new_buddies \"g:Buddies\nb:Pal One\n\"");
    setup.SendLine("toc2_add_deny \"pest\"");
    setup.SendLine("toc2_add_permit \"friend\"");
    setup.SendLine("toc2_set_pdmode 4");
    setup.SendLine("toc_get_status \"nobody\"");
    ASSERT_EQ(setup.Expect("ERROR:"), "ERROR:901:nobody");
  }
  FlapClient watcher(server.port());
  ASSERT_TRUE(watcher.SignOn("watcher"));
  watcher.SendLine("toc2_new_buddies \"g:G\nb:somebody\n\"");

  kez::posix::EventLoop loop;
  kez::test::RecordingListener events;
  kez::KezTOCSock control(std::make_unique<kez::posix::PosixSocket>(loop), &events);
  control.Login("Some Body", "any password", "127.0.0.1", server.port());
  auto seen = [&](std::string_view prefix) {
    return std::any_of(events.events.begin(), events.events.end(),
                       [&](const std::string& e) { return e.starts_with(prefix); });
  };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!seen("LoggedIn") && std::chrono::steady_clock::now() < deadline) loop.RunOnce(50ms);
  EXPECT_TRUE(seen("ScreennameFormat|somebody")) << ::testing::PrintToString(events.events);
  EXPECT_TRUE(seen("LoggedIn|somebody|[[group]Buddies,Pal One]|[pest]|[friend]|[]||4"))
      << ::testing::PrintToString(events.events);
  // Its toc_init_done puts it online for those watching.
  EXPECT_TRUE(watcher.Expect("UPDATE_BUDDY2:somebody:T:").size());
  // Keep-alives come and are answered while the session stays up.
  const auto until = std::chrono::steady_clock::now() + 200ms;
  while (std::chrono::steady_clock::now() < until) loop.RunOnce(10ms);
  EXPECT_TRUE(control.Sock().IsConnected());
  EXPECT_FALSE(seen("Error")) << ::testing::PrintToString(events.events);
}

}  // namespace
}  // namespace reposa::server::test
