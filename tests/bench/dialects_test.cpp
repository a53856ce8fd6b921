#include "Dialects.h"

#include <gtest/gtest.h>

#include <functional>

namespace kez::bench {
namespace {

// What the driver makes of the IRC daemons' lines: the state it keeps for a
// client, and what it answers; a refusal stops the run.
TEST(IrcDialect, ReadsRegistrationRoomLinesAndMessages) {
  const struct {
    const char* line;
    std::function<bool(const Client&)> holds;
    const char* answer;  // what the client sends back, if anything
  } rows[] = {
      {":srv 001 bench0000 :Welcome", [](const Client& c) { return c.online && !c.fenced; },
       "PING :fence\r\n"},
      {"PING :cookie", [](const Client& c) { return !c.online; }, "PONG :cookie\r\n"},
      {":srv PONG srv :fence", [](const Client& c) { return c.fenced; }, ""},
      {":bench0001!u@h JOIN :#bench",
       [](const Client& c) {
         return !c.joined && c.roomNames == std::set<std::string>{"bench0001"};
       },
       ""},
      {":bench0000!u@h JOIN #bench", [](const Client& c) { return c.joined; }, ""},
      {":srv 353 bench0000 = #bench :@bench0002 +bench0003 bench0004",
       [](const Client& c) {
         return c.roomNames == std::set<std::string>{"bench0002", "bench0003", "bench0004"};
       },
       ""},
      {":bench0001!u@h PRIVMSG #bench :line:42",
       [](const Client& c) { return c.lastLine == 42 && c.linesIn == 1 && c.imsIn == 0; }, ""},
      {":bench0001!u@h PRIVMSG bench0000 :hello there",
       [](const Client& c) { return c.imsIn == 1 && c.linesIn == 0; }, ""},
      {":srv 422 bench0000 :MOTD File is missing", [](const Client& c) { return !c.online; }, ""},
  };
  IrcDialect irc;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    reposa::test::FlapPeer server;
    Client c(server.port(), 0);
    ASSERT_TRUE(server.Accept());
    irc.Read(c, PeerFrame{0, row.line});
    EXPECT_TRUE(row.holds(c));
    const std::string answer = row.answer;
    if (!answer.empty()) {
      EXPECT_EQ(server.Read(answer.size()).value_or("<nothing>"), answer);
    }
  }
  for (const char* refusal : {":srv 404 bench0000 #bench :Cannot send", "ERROR :Closing link"}) {
    reposa::test::FlapPeer server;
    Client c(server.port(), 0);
    EXPECT_THROW(irc.Read(c, PeerFrame{0, refusal}), std::runtime_error) << refusal;
  }
}

}  // namespace
}  // namespace kez::bench
