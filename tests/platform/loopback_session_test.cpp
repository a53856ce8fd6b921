// The control on the real posix socket against a server played by a thread
// of the test, over 127.0.0.1.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "FlapPeer.h"
#include "RecordingListener.h"
#include "kez/KezTOCSock.h"
#include "kez/posix/EventLoop.h"
#include "kez/posix/PosixSocket.h"

namespace kez::test {
namespace {

using namespace std::chrono_literals;
using reposa::test::FlapPeer;

bool RunUntil(posix::EventLoop& loop, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    loop.RunOnce(20ms);
  }
  return true;
}

std::string Nul(std::string line) {
  return line + '\0';
}

bool Has(const RecordingListener& r, const std::string& line) {
  return std::find(r.events.begin(), r.events.end(), line) != r.events.end();
}

TEST(LoopbackSession, SignsOnKeepsAliveJoinsTalksLeavesAndLogsOff) {
  FlapPeer listener;
  std::vector<std::string> serverSaw;
  std::thread server([&] {
    FlapPeer& peer = listener;
    if (!peer.Accept()) return;
    serverSaw.push_back(peer.Read(8).value_or("?"));
    peer.SendRaw(Frame(1, std::string("\0\0\0\1", 4)));
    auto signOn = peer.ReadFrame();
    auto login = peer.ReadFrame();
    if (!signOn || !login) return;
    serverSaw.push_back(std::to_string(signOn->type) + ":" + signOn->payload);
    serverSaw.push_back(std::to_string(login->type) + ":" + login->payload);
    peer.SendRaw(Data("SIGN_ON:TOC2.0") + Data("NICK:Some Body") +
                 Data("CONFIG2:m:1\ng:Buddies\nb:pal\ndone:\n"));
    auto initDone = peer.ReadFrame();
    serverSaw.push_back(initDone ? initDone->payload : "?");
    peer.SendRaw(Frame(5, ""));
    auto keepAlive = peer.ReadFrame();
    serverSaw.push_back(keepAlive ? std::to_string(keepAlive->type) : "?");
    // Once it has the keep-alive answer, the server nudges the client (see
    // the host below), which joins a room, says a line and leaves, each step
    // once the server confirmed the last.
    peer.SendRaw(Data("NICK:ready"));
    auto join = peer.ReadFrame();
    serverSaw.push_back(join ? join->payload : "?");
    peer.SendRaw(Data("CHAT_JOIN:1234:Lobby Room"));
    auto line = peer.ReadFrame();
    serverSaw.push_back(line ? line->payload : "?");
    peer.SendRaw(Data("CHAT_IN_ENC:1234:somebody:F:x:y:" + std::string(line ? "hello" : "")));
    auto leave = peer.ReadFrame();
    serverSaw.push_back(leave ? leave->payload : "?");
    peer.SendRaw(Data("CHAT_LEFT:1234"));
    auto last = peer.Read(1);  // the client closes after leaving
    serverSaw.push_back(last ? "more" : "closed");
    peer.Close();
  });

  posix::EventLoop loop;
  RecordingListener events;
  auto socket = std::make_unique<posix::PosixSocket>(loop);
  posix::PosixSocket* sock = socket.get();  // owned by the control
  KezTOCSock control(std::move(socket), &events);
  events.onEvent = [&](const std::string& e) {
    if (e == "ScreennameFormat|ready") control.JoinChat("  Lobby Room ", 4);
    if (e == "JoinedChat|Lobby Room|1234") control.SendChat("Lobby Room", "hello");
    if (e.starts_with("ChatMessage|")) control.LeaveChat("Lobby Room", control.LastChatID());
    if (e == "LeftChat|1234") control.LogOff();
  };
  control.Login("Some Body", "password", "127.0.0.1", listener.port(), "auth.example");
  const bool loggedOut = RunUntil(loop, [&] { return Has(events, "LoggedOut|somebody"); });
  server.join();
  ASSERT_TRUE(loggedOut);

  EXPECT_EQ(events.events,
            (std::vector<std::string>{
                "ScreennameFormat|Some Body", "LoggedIn|somebody|[[group]Buddies,pal]|[]|[]|[]||1",
                "ScreennameFormat|ready", "JoinedChat|Lobby Room|1234",
                "ChatMessage|1234|somebody|hello", "LeftChat|1234", "LoggedOut|somebody"}));
  ASSERT_EQ(serverSaw.size(), 9u);
  EXPECT_EQ(serverSaw[0], "FLAPON\n\n");
  EXPECT_EQ(serverSaw[1], std::string("1:\0\0\0\1\0\1\0\x08somebody", 18));
  EXPECT_EQ(serverSaw[2],
            "2:toc2_login auth.example " + std::to_string(listener.port()) +
                " somebody 0x2408105c23001130 English  \"KezTOCSock 2.0\" 160 US \"\" \"\" 3 0 "
                "30303 -kentucky -utf8 58203917" +
                std::string(1, '\0'));
  EXPECT_EQ(serverSaw[3], Nul("toc_init_done"));
  EXPECT_EQ(serverSaw[4], "5");
  EXPECT_EQ(serverSaw[5], Nul("toc_chat_join \"4\" \"Lobby Room\""));
  EXPECT_EQ(serverSaw[6], Nul("toc_chat_send \"1234\" \"hello\""));
  EXPECT_EQ(serverSaw[7], Nul("toc_chat_leave \"1234\""));
  EXPECT_EQ(serverSaw[8], "closed");
  EXPECT_FALSE(sock->IsConnected());
}

TEST(LoopbackSession, ServerClosingRaisesConnectionClosed) {
  FlapPeer listener;
  std::thread server([&] {
    FlapPeer& peer = listener;
    if (!peer.Accept()) return;
    peer.Read(8);
    peer.SendRaw(Frame(1, std::string("\0\0\0\1", 4)) + Data("SIGN_ON:TOC2.0"));
    peer.ReadFrame();
    peer.ReadFrame();
    peer.Close();
  });
  posix::EventLoop loop;
  RecordingListener events;
  auto socket = std::make_unique<posix::PosixSocket>(loop);
  posix::PosixSocket* sock = socket.get();  // owned by the control
  KezTOCSock control(std::move(socket), &events);
  control.Login("a", "b", "127.0.0.1", listener.port());
  const bool closed = RunUntil(loop, [&] { return Has(events, "ConnectionClosed"); });
  server.join();
  ASSERT_TRUE(closed);
  EXPECT_EQ(events.events, (std::vector<std::string>{"ConnectionClosed"}));
  EXPECT_FALSE(sock->IsConnected());
}

}  // namespace
}  // namespace kez::test
