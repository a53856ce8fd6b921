#include "service/session.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "FlapPeer.h"
#include "service/directory.h"
#include "service/service.h"

namespace reposa::server::test {
namespace {

using reposa::test::FlapPeer;
using reposa::test::LoginLine;
using reposa::test::SignOnPayload;

using namespace std::string_literals;

struct FakeTransport : Transport {
  std::string written;
  bool finished = false;
  void Write(std::string_view bytes) override { written.append(bytes); }
  void Finish() override { finished = true; }
};

// Routes the service's messages back to the sessions, as the server does.
struct Router : Outbox {
  std::map<SessionId, Session*> sessions;
  void Deliver(SessionId to, std::string_view message) override {
    if (sessions.count(to)) sessions[to]->SendMessage(message);
  }
  void EndSession(SessionId id, std::string_view) override {
    if (sessions.count(id)) sessions[id]->End();
  }
};

// The frames written, as "type:payload", header checked on the way.
std::vector<std::string> Frames(std::string_view bytes) {
  std::vector<std::string> out;
  while (bytes.size() >= 6) {
    EXPECT_EQ(bytes[0], '*');
    const std::size_t length =
        static_cast<unsigned char>(bytes[4]) << 8 | static_cast<unsigned char>(bytes[5]);
    out.push_back(std::to_string(bytes[1]) + ":" + std::string(bytes.substr(6, length)));
    bytes.remove_prefix(6 + length);
  }
  EXPECT_TRUE(bytes.empty());
  return out;
}

std::string Line(std::string_view line) {
  return kez::test::Frame(2, std::string(line) + '\0');
}

const std::string kOpening = "FLAPON\n\n";
const std::string kSignOnFrame = kez::test::Frame(1, SignOnPayload("pal"));
const std::string kLogin = Line(LoginLine("pal", "password"));

// A service where "Pal" has an account, and one session on it.
struct OneSession {
  Limits limits;
  Directory directory{limits, std::vector<AccountEntry>{{"Pal", "password"}}};
  Router router;
  Service service{directory, router, [] { return 1000; }, limits};
  FakeTransport transport;
  Session session;
  explicit OneSession(SessionId id) : session(id, service, transport) {
    router.sessions[id] = &session;
  }
};

struct SessionTest : ::testing::Test, OneSession {
  SessionTest() : OneSession(7) {}
};

TEST_F(SessionTest, SignsOnHoweverTheBytesAreSplit) {
  const std::string input = kOpening + kSignOnFrame + kLogin + Line("toc_init_done");
  // Wire bytes of the answer: the server's sign-on frame, then three
  // messages, numbered 0 to 3.
  const std::string expected = "*\x01\x00\x00\x00\x04\0\0\0\1"s +
                               "*\x02\x00\x01\x00\x0eSIGN_ON:TOC2.0"s +
                               "*\x02\x00\x02\x00\x08NICK:Pal"s +
                               "*\x02\x00\x03\x00\x12"
                               "CONFIG2:m:1\ndone:\n"s;
  for (std::size_t split : {input.size(), std::size_t{1}, std::size_t{5}, std::size_t{13}}) {
    OneSession one(1);
    Session& fresh = one.session;
    FakeTransport& t = one.transport;
    for (std::size_t i = 0; i < input.size(); i += split)
      fresh.Receive(std::string_view(input).substr(i, split));
    EXPECT_EQ(t.written, expected) << "split " << split;
    EXPECT_TRUE(fresh.signedOn());
    EXPECT_FALSE(t.finished);
    fresh.SendKeepAlive();
    EXPECT_EQ(t.written.substr(expected.size()), "*\x05\x00\x04\x00\x00"s);
  }
}

TEST_F(SessionTest, BadInputGetsAnErrorOrACloseNeverACrash) {
  const std::string signedOn = kOpening + kSignOnFrame + kLogin;
  const struct {
    const char* name;
    std::string input;
    std::vector<std::string> answer;  // after the sign-on's own frames
    bool closed;
  } rows[] = {
      {"garbage instead of the opening", "GET / HTTP/1.0\r\n\r\n", {}, true},
      {"wrong frame marker",
       kOpening + "+\x02\x00\x00\x00\x00"s,
       {"1:\0\0\0\1"s, "2:ERROR:911"},
       true},
      {"data before the sign-on frame",
       kOpening + Line("toc_init_done"),
       {"1:\0\0\0\1"s, "2:ERROR:911"},
       true},
      {"sign-on frame with another tag",
       kOpening + kez::test::Frame(1, "\0\0\0\1\0\2\0\3pal"s),
       {"1:\0\0\0\1"s, "2:ERROR:911"},
       true},
      {"sign-on frame with a wrong length",
       kOpening + kez::test::Frame(1, "\0\0\0\1\0\1\0\4pal"s),
       {"1:\0\0\0\1"s, "2:ERROR:911"},
       true},
      {"another command instead of the login",
       kOpening + kSignOnFrame + Line("toc_init_done"),
       {"1:\0\0\0\1"s, "2:ERROR:911"},
       true},
      {"login for another name",
       kOpening + kSignOnFrame + Line(LoginLine("other", "password")),
       {"1:\0\0\0\1"s, "2:ERROR:911"},
       true},
      {"password not roasted",
       kOpening + kSignOnFrame + Line("toc2_login a 5190 pal password"),
       {"1:\0\0\0\1"s, "2:ERROR:980"},
       true},
      {"wrong password",
       kOpening + kSignOnFrame + Line(LoginLine("pal", "guess")),
       {"1:\0\0\0\1"s, "2:ERROR:980"},
       true},
      {"unknown command", signedOn + Line("toc_fly"), {"2:ERROR:911"}, false},
      {"unbalanced quote", signedOn + Line(R"(toc_send_im "pal "hi)"), {"2:ERROR:911"}, false},
      {"NUL inside a line", signedOn + Line("toc_set_info \"a\0b\""s), {"2:ERROR:911"}, false},
      {"line too long",
       signedOn + Line("toc_set_info \"" + std::string(8200, 'x') + "\""),
       {"2:ERROR:911"},
       false},
      {"65535-byte line",
       signedOn + kez::test::Frame(2, std::string(65535, 'x')),
       {"2:ERROR:911"},
       false},
      {"unknown frame type", signedOn + kez::test::Frame(9, "x"), {"2:ERROR:911"}, false},
      {"sign-on frame again", signedOn + kSignOnFrame, {"2:ERROR:911"}, false},
      {"keep-alive and error frames",
       signedOn + kez::test::Frame(5, "") + kez::test::Frame(3, "x"),
       {},
       false},
      {"sign-off frame", signedOn + kez::test::Frame(4, ""), {}, true},
      {"commands after a bad one still work",
       signedOn + Line("bad") + Line(R"(toc_get_status "pal")"),
       {"2:ERROR:911", "2:ERROR:901:pal"},
       false},
  };
  for (const auto& r : rows) {
    OneSession one(1);
    Session& fresh = one.session;
    FakeTransport& t = one.transport;
    fresh.Receive(r.input);
    std::vector<std::string> frames = Frames(t.written);
    if (r.input.starts_with(signedOn)) {
      ASSERT_GE(frames.size(), 4u) << r.name;
      frames.erase(frames.begin(), frames.begin() + 4);
    }
    EXPECT_EQ(frames, r.answer) << r.name;
    EXPECT_EQ(t.finished, r.closed) << r.name;
    // Once closed, nothing more is read or answered.
    const std::size_t before = t.written.size();
    fresh.Receive(Line(R"(toc_get_status "pal")"));
    EXPECT_EQ(t.written.size() == before, r.closed) << r.name;
  }
}

TEST_F(SessionTest, ANewerSignOnEndsTheOlderSession) {
  session.Receive(kOpening + kSignOnFrame + kLogin);
  FakeTransport t2;
  Session second{8, service, t2};
  router.sessions[8] = &second;
  second.Receive(kOpening + kSignOnFrame + kLogin);
  EXPECT_TRUE(second.signedOn());
  EXPECT_TRUE(transport.finished);
  EXPECT_EQ(Frames(transport.written).back(), "4:");
}

}  // namespace
}  // namespace reposa::server::test
