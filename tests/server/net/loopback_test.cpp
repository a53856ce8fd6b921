// The server on a loopback port, driven by raw FLAP clients.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FlapPeer.h"
#include "ServerThread.h"
#include "arguments.h"

namespace reposa::server::test {
namespace {

using reposa::test::FlapPeer;
using reposa::test::LoginLine;
using reposa::test::PeerFrame;
using reposa::test::SignOnPayload;

using namespace std::chrono_literals;
using namespace std::string_literals;

TEST(Loopback, SignOnWithGoodAndBadPasswords) {
  ServerThread server({}, {{"Some Body", "right pass"}, {"pal1", "p"}});
  {
    FlapPeer c(server.port());
    c.SendRaw("FLAPON\n\n");
    auto hello = c.ReadFrame();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->type, 1);
    EXPECT_EQ(hello->payload, "\0\0\0\1"s);
    c.SendFrame(1, "\0\0\0\1\0\1\0\x08somebody"s);
    c.SendLine(LoginLine("Some Body", "right pass"));
    EXPECT_EQ(c.ReadFrame()->payload, "SIGN_ON:TOC2.0");
    EXPECT_EQ(c.ReadFrame()->payload, "NICK:Some Body");
    EXPECT_EQ(c.ReadFrame()->payload, "CONFIG2:m:1\ndone:\n");
  }
  for (auto [name, password] : {std::pair{"Some Body", "guess-pw"}, {"stranger", "right pass"}}) {
    FlapPeer c(server.port());
    EXPECT_EQ(c.StartSignOn(name, password), "ERROR:980") << name;
    EXPECT_TRUE(c.WaitClosed()) << name;
  }
  for (const std::string& line : server.log()) {
    EXPECT_EQ(line.find("right pass"), std::string::npos) << line;
    EXPECT_EQ(line.find("guess-pw"), std::string::npos) << line;
  }
}

TEST(Loopback, StoredListsComeBackSplitOverSeveralMessages) {
  ServerThread server;
  const std::string pad(40, 'x');
  {
    FlapPeer c(server.port());
    ASSERT_TRUE(c.SignOn("Lister"));
    // Enough to pass one frame: 1000 buddies, 500 blocked and 500 permitted
    // names of about 45 bytes.
    for (int chunk = 0; chunk < 10; ++chunk) {
      std::string buddies = "g:Group " + std::to_string(chunk) + "\n";
      for (int i = 0; i < 100; ++i) buddies += "b:b" + pad + std::to_string(chunk * 100 + i) + "\n";
      c.SendLine("toc2_new_buddies \"" + buddies + "\"");
    }
    for (const char* kind : {"deny", "permit"}) {
      for (int chunk = 0; chunk < 5; ++chunk) {
        std::string line = "toc2_add_"s + kind;
        for (int i = 0; i < 100; ++i)
          line += " \"" + std::string(1, kind[0]) + pad + std::to_string(chunk * 100 + i) + "\"";
        c.SendLine(line);
      }
    }
    c.SendLine("toc2_set_pdmode 4");
    c.SendLine("toc_get_status \"nobody\"");  // answered once all before it is done
    ASSERT_EQ(c.Expect("ERROR:"), "ERROR:901:nobody");
    std::size_t inserted = 0;
    for (const std::string& m : c.skipped) inserted += m.starts_with("INSERTED2:");
    EXPECT_EQ(inserted, 10u + 1000u + 1000u);
  }
  FlapPeer again(server.port());
  std::string config;
  std::size_t messages = 0;
  ASSERT_TRUE(again.SignOn("lister", "any", &config, &messages));
  EXPECT_GE(messages, 2u);
  EXPECT_TRUE(config.starts_with("m:4\ng:Group 0\nb:b" + pad + "0\nb:b" + pad + "1\n"));
  EXPECT_TRUE(config.ends_with("d:d" + pad + "499\ndone:\n"));
  std::size_t lines = 0;
  for (char ch : config) lines += ch == '\n';
  EXPECT_EQ(lines, 1u + 10u + 1000u + 1000u + 1u);
}

TEST(Loopback, InstantMessagesAndPresenceBetweenTwoClients) {
  ServerThread server;
  FlapPeer al(server.port());
  ASSERT_TRUE(al.SignOn("Al"));
  al.SendLine("toc2_new_buddies \"g:Buddies\nb:Bo Bo\n\"");
  EXPECT_EQ(al.Expect("INSERTED2:b"), "INSERTED2:b::Bo Bo:Buddies");
  auto bo = std::make_unique<FlapPeer>(server.port());
  ASSERT_TRUE(bo->SignOn("Bo Bo"));
  // The client sends its name normalised; formatting it brings back the
  // spaces and capitals.
  EXPECT_TRUE(al.Expect("UPDATE_BUDDY2:").starts_with("UPDATE_BUDDY2:bobo:T:0:"));
  bo->SendLine("toc_format_nickname \"Bo Bo\"");
  EXPECT_EQ(bo->Expect("ADMIN_NICK_STATUS:"), "ADMIN_NICK_STATUS:0");
  EXPECT_EQ(bo->Expect("NICK:"), "NICK:Bo Bo");
  EXPECT_TRUE(al.Expect("UPDATE_BUDDY2:").starts_with("UPDATE_BUDDY2:Bo Bo:T:0:"));
  al.SendLine("toc_send_im \"bobo\" \"" + kez::wire::EscapeArgument("hi \"Bo\" \\ $(x) \xe9") +
              "\"");
  EXPECT_EQ(bo->Expect("IM_IN_ENC2:"), "IM_IN_ENC2:al:F:F:F: O:F:F:F:hi \"Bo\" \\ $(x) \xe9");
  bo->SendLine("toc_send_im \"al\" \"back\" auto");
  EXPECT_EQ(al.Expect("IM_IN_ENC2:"), "IM_IN_ENC2:Bo Bo:T:F:F: O:F:F:F:back");
  bo.reset();  // the connection drops
  EXPECT_EQ(al.Expect("UPDATE_BUDDY2:"), "UPDATE_BUDDY2:Bo Bo:F:0:0:0: O");
  al.SendLine("toc_send_im \"bobo\" \"gone?\"");
  EXPECT_EQ(al.Expect("ERROR:"), "ERROR:901:bobo");
}

TEST(Loopback, ChatJoinSendLeave) {
  ServerThread server;
  FlapPeer al(server.port());
  FlapPeer bo(server.port());
  ASSERT_TRUE(al.SignOn("Al"));
  ASSERT_TRUE(bo.SignOn("Bo"));
  al.SendLine("toc_chat_join \"4\" \"Lobby\"");
  EXPECT_EQ(al.Expect("CHAT_JOIN:"), "CHAT_JOIN:1:Lobby");
  EXPECT_EQ(al.Expect("CHAT_UPDATE_BUDDY:"), "CHAT_UPDATE_BUDDY:1:T:al");
  bo.SendLine("toc_chat_join \"4\" \"lobby\"");
  EXPECT_EQ(bo.Expect("CHAT_JOIN:"), "CHAT_JOIN:1:Lobby");
  EXPECT_EQ(bo.Expect("CHAT_UPDATE_BUDDY:"), "CHAT_UPDATE_BUDDY:1:T:al:bo");
  EXPECT_EQ(al.Expect("CHAT_UPDATE_BUDDY:"), "CHAT_UPDATE_BUDDY:1:T:bo");
  bo.SendLine("toc_chat_send \"1\" \"hello: \\(all\\)\"");
  EXPECT_EQ(al.Expect("CHAT_IN_ENC:"), "CHAT_IN_ENC:1:bo:F:::hello: (all)");
  EXPECT_EQ(bo.Expect("CHAT_IN_ENC:"), "CHAT_IN_ENC:1:bo:F:::hello: (all)");
  bo.SendLine("toc_chat_leave \"1\"");
  EXPECT_EQ(bo.Expect("CHAT_LEFT:"), "CHAT_LEFT:1");
  EXPECT_EQ(al.Expect("CHAT_UPDATE_BUDDY:"), "CHAT_UPDATE_BUDDY:1:F:bo");
}

// Each kind of bad input gets ERROR:911 or a close, and a bystander's
// session goes on as before.
TEST(Loopback, BadInputNeverDisturbsOtherClients) {
  ServerThread server;
  FlapPeer bystander(server.port());
  ASSERT_TRUE(bystander.SignOn("Bystander"));
  const std::string signOn = "FLAPON\n\n" + kez::test::Frame(1, SignOnPayload("bad")) +
                             kez::test::Frame(2, LoginLine("bad", "x") + '\0') +
                             kez::test::Frame(2, "toc_init_done\0"s);
  const struct {
    const char* name;
    std::string bytes;
    bool closes;
  } rows[] = {
      {"garbage before FLAPON", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", true},
      {"binary garbage", "\x00\xff\x13\x37"s, true},
      {"wrong frame marker", signOn + "!\x02\x00\x00\x00\x01x"s, true},
      {"data before the sign-on frame", "FLAPON\n\n" + kez::test::Frame(2, "toc_init_done\0"s),
       true},
      {"login for another name",
       "FLAPON\n\n" + kez::test::Frame(1, SignOnPayload("bad")) +
           kez::test::Frame(2, LoginLine("other", "x") + '\0'),
       true},
      {"password not roasted",
       "FLAPON\n\n" + kez::test::Frame(1, SignOnPayload("bad")) +
           kez::test::Frame(2, "toc2_login a 5190 bad password\0"s),
       true},
      {"sign-off frame", signOn + kez::test::Frame(4, ""), true},
      {"unknown frame type", signOn + kez::test::Frame(9, "x"), false},
      {"NUL inside a line", signOn + kez::test::Frame(2, "toc_set_info \"a\0b\"\0"s), false},
      {"unknown command", signOn + kez::test::Frame(2, "toc_teleport \"x\"\0"s), false},
      {"unbalanced quote", signOn + kez::test::Frame(2, "toc_send_im \"bystander \"hi\0"s), false},
      {"65535-byte line", signOn + kez::test::Frame(2, std::string(65534, 'a') + '\0'), false},
      {"frame cut off by a close", signOn + "*\x02\x00\x00\xff\xff"s + std::string(100, 'a'),
       false},
  };
  for (const auto& r : rows) {
    {
      FlapPeer bad(server.port());
      bad.SendRaw(r.bytes);
      if (r.closes) {
        EXPECT_TRUE(bad.WaitClosed()) << r.name;
      } else if (!std::string_view(r.bytes).ends_with(std::string(100, 'a'))) {
        EXPECT_EQ(bad.Expect("ERROR:"), "ERROR:911") << r.name;
        bad.SendLine("toc_get_status \"bad\"");  // and its session goes on
        EXPECT_TRUE(bad.Expect("UPDATE_BUDDY2:bad:T:").size()) << r.name;
      }
    }
    bystander.SendLine("toc_send_im \"bystander\" \"still here\"");
    EXPECT_EQ(bystander.Expect("IM_IN_ENC2:"), "IM_IN_ENC2:bystander:F:F:F: O:F:F:F:still here")
        << r.name;
  }
}

// A client that asks for a lot and never reads is dropped once its backlog
// passes the limit; the others are answered all along.
TEST(Loopback, AClientThatNeverReadsStallsNoOne) {
  ServerOptions options;
  options.limits.maxPendingOutput = 512 * 1024;
  ServerThread server(options);
  FlapPeer al(server.port());
  FlapPeer bo(server.port());
  ASSERT_TRUE(al.SignOn("Al"));
  ASSERT_TRUE(bo.SignOn("Bo"));
  FlapPeer hog(server.port());
  hog.ShrinkReceiveBuffer();
  ASSERT_TRUE(hog.SignOn("Hog"));
  hog.SendLine("toc_set_info \"" + std::string(8000, 'p') + "\"");
  // Each request brings back a profile of about 24 KB.
  const std::string request = kez::test::Frame(2, "toc_get_info \"hog\"\0"s);
  std::string burst;
  for (int i = 0; i < 50; ++i) burst += request;
  bool dropped = false;
  for (int round = 0; round < 200 && !dropped; ++round) {
    dropped = !hog.SendRaw(burst);
    al.SendLine("toc_send_im \"bo\" \"round " + std::to_string(round) + "\"");
    ASSERT_EQ(bo.Expect("IM_IN_ENC2:", 2s),
              "IM_IN_ENC2:al:F:F:F: O:F:F:F:round " + std::to_string(round));
  }
  // Once dropped, the hog's socket is closed whether or not its last send
  // noticed; draining it reaches the end.
  EXPECT_TRUE(hog.WaitClosed(10s));
  bool logged = false;
  for (const std::string& line : server.log())
    logged |= line.find("not reading") != std::string::npos;
  EXPECT_TRUE(logged);
}

TEST(Loopback, TwoHundredClientsSignedOnAtOnceAreAllAnswered) {
  ServerOptions options;
  options.limits.maxPerAddress = options.limits.maxSigningOnPerAddress = 1000;
  options.limits.maxPerNetwork = options.limits.maxSigningOnPerNetwork = 1000;
  ServerThread server(options);
  constexpr int kClients = 200;
  std::vector<std::unique_ptr<FlapPeer>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<FlapPeer>(server.port()));
    const std::string name = "user" + std::to_string(i);
    // The whole sign-on in one go, before reading anything.
    clients.back()->SendRaw("FLAPON\n\n" + kez::test::Frame(1, SignOnPayload(name)) +
                            kez::test::Frame(2, LoginLine(name, "pw") + '\0') +
                            kez::test::Frame(2, "toc_init_done\0"s));
  }
  for (int i = 0; i < kClients; ++i) {
    ASSERT_EQ(clients[i]->Expect("CONFIG2:"), "CONFIG2:m:1\ndone:\n") << i;
    // Answered only after its toc_init_done: then every client is online.
    clients[i]->SendLine("toc_get_status \"user" + std::to_string(i) + "\"");
    ASSERT_TRUE(clients[i]->Expect("UPDATE_BUDDY2:").size()) << i;
  }
  for (int i = 0; i < kClients; ++i) {
    const std::string next = "user" + std::to_string((i + 1) % kClients);
    clients[i]->SendLine("toc_send_im \"" + next + "\" \"from " + std::to_string(i) + "\"");
  }
  for (int i = 0; i < kClients; ++i) {
    const int from = (i + kClients - 1) % kClients;
    EXPECT_EQ(
        clients[i]->Expect("IM_IN_ENC2:"),
        "IM_IN_ENC2:user" + std::to_string(from) + ":F:F:F: O:F:F:F:from " + std::to_string(from));
  }
}

TEST(Loopback, ASecondSignOnEndsTheFirstConnection) {
  ServerThread server;
  FlapPeer first(server.port());
  ASSERT_TRUE(first.SignOn("Twice"));
  FlapPeer second(server.port());
  ASSERT_TRUE(second.SignOn("twice"));
  std::optional<PeerFrame> f;
  while ((f = first.ReadFrame()) && f->type != 4) {
  }
  ASSERT_TRUE(f) << "no sign-off frame";
  EXPECT_TRUE(first.WaitClosed());
  second.SendLine("toc_get_status \"twice\"");
  EXPECT_TRUE(second.Expect("UPDATE_BUDDY2:twice:T:").size());
}

// Keep-alives go to signed-on clients. One that answers them stays; one that
// answers nothing, or stops inside a frame, is closed after 3 intervals; one
// that never signs on, at the sign-on deadline.
TEST(Loopback, KeepAlivesKeepAnsweringClientsAndSilentOnesAreClosed) {
  ServerOptions options;
  options.limits.keepAlive = std::chrono::milliseconds(50);
  options.limits.signOnTimeout = std::chrono::milliseconds(300);
  ServerThread server(options);
  FlapPeer on(server.port());
  FlapPeer mute(server.port());
  FlapPeer stuck(server.port());
  FlapPeer silent(server.port());
  ASSERT_TRUE(on.SignOn("Awake"));
  ASSERT_TRUE(mute.SignOn("Mute"));
  ASSERT_TRUE(stuck.SignOn("Stuck"));
  stuck.SendRaw(kez::test::Frame(2, "toc_get_status \"awake\""s).substr(0, 9));
  FlapPeer* const closing[] = {&mute, &stuck, &silent};
  bool closed[3] = {};
  int keepAlives = 0;
  const auto give_up = std::chrono::steady_clock::now() + 5s;
  while (!(closed[0] && closed[1] && closed[2]) && std::chrono::steady_clock::now() < give_up) {
    if (auto f = on.ReadFrame(10ms); f && f->type == 5) {
      EXPECT_EQ(f->payload, "");
      ++keepAlives;
      on.SendFrame(5, "");
    }
    for (int i = 0; i < 3; ++i) closed[i] = closed[i] || closing[i]->WaitClosed(5ms);
  }
  EXPECT_TRUE(closed[0] && closed[1] && closed[2])
      << closed[0] << closed[1] << closed[2] << ::testing::PrintToString(server.log());
  EXPECT_GE(keepAlives, 3);
  on.SendLine("toc_get_status \"awake\"");
  EXPECT_TRUE(on.Expect("UPDATE_BUDDY2:awake:T:").size());
}

}  // namespace
}  // namespace reposa::server::test
