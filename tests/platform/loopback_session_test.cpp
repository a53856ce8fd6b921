// The control on the real posix socket against a server played by a thread
// of the test, over 127.0.0.1.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "RecordingListener.h"
#include "ScriptedServer.h"
#include "kez/KezTOCSock.h"
#include "kez/posix/EventLoop.h"
#include "kez/posix/PosixSocket.h"

namespace kez::test {
namespace {

using namespace std::chrono_literals;

bool RunUntil(posix::EventLoop& loop, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    loop.RunOnce(20ms);
  }
  return true;
}

bool Has(const RecordingListener& r, const std::string& line) {
  return std::find(r.events.begin(), r.events.end(), line) != r.events.end();
}

TEST(LoopbackSession, SignsOnAnswersKeepAliveAndSeesTheServerClose) {
  LoopbackListener listener;
  std::vector<std::string> serverSaw;
  std::thread server([&] {
    ScriptedPeer peer(listener.fd());
    if (!peer.ok()) return;
    serverSaw.push_back(peer.Read(8).value_or("?"));
    peer.Send(Frame(1, std::string("\0\0\0\1", 4)));
    auto signOn = peer.ReadFrame();
    auto login = peer.ReadFrame();
    if (!signOn || !login) return;
    serverSaw.push_back(std::to_string(signOn->type) + ":" + signOn->payload);
    serverSaw.push_back(std::to_string(login->type) + ":" + login->payload);
    peer.Send(Data("SIGN_ON:TOC2.0") + Data("NICK:Some Body") +
              Data("CONFIG2:m:1\ng:Buddies\nb:pal\ndone:\n"));
    auto initDone = peer.ReadFrame();
    serverSaw.push_back(initDone ? initDone->payload : "?");
    peer.Send(Frame(5, ""));
    auto keepAlive = peer.ReadFrame();
    serverSaw.push_back(keepAlive ? std::to_string(keepAlive->type) : "?");
    peer.Close();
  });

  posix::EventLoop loop;
  RecordingListener events;
  KezTOCSock control(std::make_unique<posix::PosixSocket>(loop), &events);
  control.Login("Some Body", "password", "127.0.0.1", listener.port(), "auth.example");
  const bool closed = RunUntil(loop, [&] { return Has(events, "ConnectionClosed"); });
  server.join();
  ASSERT_TRUE(closed);

  EXPECT_EQ(events.events,
            (std::vector<std::string>{"ScreennameFormat|Some Body",
                                      "LoggedIn|somebody|[[group]Buddies,pal]|[]|[]|[]||1",
                                      "ConnectionClosed"}));
  ASSERT_EQ(serverSaw.size(), 5u);
  EXPECT_EQ(serverSaw[0], "FLAPON\n\n");
  EXPECT_EQ(serverSaw[1], std::string("1:\0\0\0\1\0\1\0\x08somebody", 18));
  EXPECT_EQ(serverSaw[2],
            "2:toc2_login auth.example " + std::to_string(listener.port()) +
                " somebody 0x2408105c23001130 English  \"KezTOCSock 2.0\" 160 US \"\" \"\" 3 0 "
                "30303 -kentucky -utf8 58203917" +
                std::string(1, '\0'));
  EXPECT_EQ(serverSaw[3], std::string("toc_init_done\0", 14));
  EXPECT_EQ(serverSaw[4], "5");
  EXPECT_FALSE(control.Sock().IsConnected());
}

TEST(LoopbackSession, NothingListeningRaisesOneWinsockError) {
  int port = 0;
  {
    LoopbackListener gone;
    port = gone.port();
  }
  posix::EventLoop loop;
  RecordingListener events;
  KezTOCSock control(std::make_unique<posix::PosixSocket>(loop), &events);
  control.Login("a", "b", "127.0.0.1", port);
  ASSERT_TRUE(RunUntil(loop, [&] { return !events.events.empty(); }));
  for (int i = 0; i < 5; ++i) loop.RunOnce(10ms);
  ASSERT_EQ(events.events.size(), 1u);
  EXPECT_TRUE(events.events[0].starts_with("WinsockError|Cannot connect to 127.0.0.1:"))
      << events.events[0];
  EXPECT_NE(events.events[0].find("Connection refused"), std::string::npos);
}

}  // namespace
}  // namespace kez::test
