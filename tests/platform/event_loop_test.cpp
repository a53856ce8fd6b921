// The loop's promises that its users lean on: what poll() reported for
// descriptors epoll cannot wait on, watches changed by an earlier callback,
// descriptor numbers reused, and when posted calls run.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kez/posix/EventLoop.h"

namespace kez::posix {
namespace {

using namespace std::chrono_literals;

struct Pair {
  Pair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0); }
  ~Pair() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  int fd[2] = {-1, -1};
};

TEST(EventLoop, PostedCallsRunInOrderAndTimersFire) {
  EventLoop loop;
  std::string order;
  loop.Post([&] { order += "a"; });
  loop.Post([&] { order += "b"; });
  int ticks = 0;
  EventLoop::Id timer = 0;
  timer = loop.AddTimer(5ms, [&] {
    if (++ticks == 3) loop.CancelTimer(timer);  // cancelling itself is allowed
  });
  loop.AddTimer(
      1ms, [&] { order += "t"; }, false);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while ((ticks < 3 || order.size() < 3) && std::chrono::steady_clock::now() < deadline)
    loop.RunOnce(50ms);
  EXPECT_EQ(order, "abt");
  EXPECT_EQ(ticks, 3);
  loop.RunOnce(20ms);
  EXPECT_EQ(ticks, 3);
}

TEST(EventLoop, ReportsWhatPollWould) {
  EventLoop loop;
  std::vector<std::string> seen;

  // A regular file cannot be waited on: it is always ready.
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  loop.Watch(::fileno(file), POLLIN, [&](short r) { seen.push_back(r == POLLIN ? "file" : "?"); });
  // A descriptor that is not open is POLLNVAL.
  loop.Watch(1 << 20, POLLIN, [&](short r) { seen.push_back(r & POLLNVAL ? "nval" : "?"); });
  loop.RunOnce(0ms);
  EXPECT_EQ(seen, (std::vector<std::string>{"file", "nval"}));
  std::fclose(file);
}

TEST(EventLoop, AnEarlierCallbackDecidesForTheLaterOnes) {
  EventLoop loop;
  Pair a, b;
  ASSERT_EQ(::write(a.fd[1], "x", 1), 1);
  ASSERT_EQ(::write(b.fd[1], "x", 1), 1);
  std::vector<std::string> seen;
  EventLoop::Id idA = 0, idB = 0;
  bool posted = false;
  // Whichever runs first removes the other, and posts a call that must run
  // in this same turn.
  idA = loop.Watch(a.fd[0], POLLIN, [&](short) {
    seen.push_back("a");
    loop.Unwatch(idB);
    loop.Post([&] { posted = true; });
  });
  idB = loop.Watch(b.fd[0], POLLIN, [&](short) {
    seen.push_back("b");
    loop.Unwatch(idA);
    loop.Post([&] { posted = true; });
  });
  loop.RunOnce(1000ms);
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_TRUE(posted);
}

TEST(EventLoop, AReusedDescriptorBelongsToItsNewWatch) {
  EventLoop loop;
  Pair first;
  const int number = first.fd[0];
  int oldCalls = 0, newCalls = 0;
  const EventLoop::Id old = loop.Watch(number, POLLIN, [&](short) { ++oldCalls; });
  // Closed under its watch, and the number handed out again.
  ::close(first.fd[0]);
  first.fd[0] = -1;
  Pair second;
  ASSERT_EQ(second.fd[0], number);
  loop.Watch(number, POLLIN, [&](short) { ++newCalls; });
  loop.Unwatch(old);  // must not take the new watch with it
  ASSERT_EQ(::write(second.fd[1], "x", 1), 1);
  loop.RunOnce(1000ms);
  EXPECT_EQ(oldCalls, 0);
  EXPECT_EQ(newCalls, 1);
}

}  // namespace
}  // namespace kez::posix
