#include "options.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace reposa::console {
namespace {

// Each row: the command line, then the options it gives as one summary text,
// or the start of the refusal.
std::string Summary(const Options& o) {
  std::string s =
      (o.server.tls ? "tls://" : "") + o.server.host + ":" + std::to_string(o.server.port);
  if (!o.caFile.empty()) s += " ca=" + o.caFile;
  s += " auth=" + o.authServer;
  s += " sn=" + o.screenName.value_or("-");
  s += " pwfile=" + o.passwordFile.value_or("-");
  s += " join=";
  for (const JoinTarget& j : o.joins) s += j.room + "/" + std::to_string(j.exchange) + ",";
  if (o.joins.empty()) s += "-";
  if (o.configFile) s += " config=" + *o.configFile;
  if (o.packets) s += " packets";
  if (o.reconnect) s += " reconnect";
  if (o.outputLimit != 8 * 1024 * 1024) s += " out=" + std::to_string(o.outputLimit);
  if (o.help) s += " help";
  if (o.version) s += " version";
  return s;
}

TEST(ParseOptions, AcceptsEachOptionInBothFormsAndRefusesTheRest) {
  const struct {
    std::vector<std::string> args;
    const char* summary;  // nullptr: refused with `error`
    const char* error;
  } rows[] = {
      {{}, "127.0.0.1:5190 auth= sn=- pwfile=- join=-", ""},
      {{"--server", "toc.example"}, "toc.example:5190 auth= sn=- pwfile=- join=-", ""},
      {{"--server=toc.example:9898"}, "toc.example:9898 auth= sn=- pwfile=- join=-", ""},
      {{"--auth-server", "auth.example"},
       "127.0.0.1:5190 auth=auth.example sn=- pwfile=- join=-",
       ""},
      {{"--screen-name", "Some Body", "--password-file", "/p", "--join", "My Room:5", "--packets"},
       "127.0.0.1:5190 auth= sn=Some Body pwfile=/p join=My Room/5, packets",
       ""},
      {{"--join=Lobby"}, "127.0.0.1:5190 auth= sn=- pwfile=- join=Lobby/4,", ""},
      {{"--screen-name=a", "--reconnect", "--output-limit", "4096"},
       "127.0.0.1:5190 auth= sn=a pwfile=- join=- reconnect out=4096",
       ""},
      {{"--join", "A", "--join=B:5", "--config", "/c"},
       "127.0.0.1:5190 auth= sn=- pwfile=- join=A/4,B/5, config=/c",
       ""},
      {{"--reconnect"}, nullptr, "--reconnect needs --screen-name"},
      {{"--output-limit", "4095"}, nullptr, "--output-limit: a number of bytes"},
      {{"--join", "a:b:-3"}, "127.0.0.1:5190 auth= sn=- pwfile=- join=a:b/-3,", ""},
      {{"--help"}, "127.0.0.1:5190 auth= sn=- pwfile=- join=- help", ""},
      {{"--version"}, "127.0.0.1:5190 auth= sn=- pwfile=- join=- version", ""},
      {{"--server"}, nullptr, "--server needs a value"},
      {{"--server", "h:0"}, nullptr, "--server: the port must be a number from 1 to 65535"},
      {{"--server", "tls://h"}, "tls://h:5191 auth= sn=- pwfile=- join=-", ""},
      {{"--tls", "--ca-file", "/ca", "--server=h:7"},
       "tls://h:7 ca=/ca auth= sn=- pwfile=- join=-",
       ""},
      {{"--tls"}, "tls://127.0.0.1:5191 auth= sn=- pwfile=- join=-", ""},
      {{"--ca-file", "/ca"}, nullptr, "--ca-file needs --tls or a tls:// server"},
      {{"--ca-file="}, nullptr, "--ca-file: the file name is empty"},
      {{"--join", "Room:x"}, nullptr, "--join: the exchange after the last ':'"},
      {{"--join", "Room:40000"}, nullptr, "--join: the exchange after the last ':'"},
      {{"--join", ":4"}, nullptr, "--join: the room name is empty"},
      {{"--packets=yes"}, nullptr, "--packets takes no value"},
      {{"--screen-name", ""}, nullptr, "--screen-name: the name is empty"},
      {{"--password-file", "/p"}, nullptr, "--password-file needs --screen-name"},
      {{"--password", "hunter2"}, nullptr, "a password on the command line"},
      {{"--password=hunter2"}, nullptr, "a password on the command line"},
      {{"--bogus"}, nullptr, "unknown option --bogus"},
      {{"stray"}, nullptr, "unexpected argument"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    try {
      const Options options = ParseOptions(row.args);
      ASSERT_NE(row.summary, nullptr) << "accepted";
      EXPECT_EQ(Summary(options), row.summary);
    } catch (const UsageError& e) {
      ASSERT_EQ(row.summary, nullptr) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind(row.error, 0), 0u) << e.what();
      EXPECT_EQ(std::string(e.what()).find("hunter2"), std::string::npos);
    }
  }
}

// A service's configuration file becomes options; what is not an option line
// is refused with its line number.
TEST(ParseConfig, EachLineIsOneOption) {
  EXPECT_EQ(ParseConfig("# presence of Demo User\n"
                        "server = 127.0.0.1:5190\r\n"
                        "\n"
                        "  screen-name =  Demo User \n"
                        "join = Reposa Lobby:4\n"
                        "join=Den\n"
                        "reconnect")
                .shared,
            (std::vector<std::string>{"--server=127.0.0.1:5190", "--screen-name=Demo User",
                                      "--join=Reposa Lobby:4", "--join=Den", "--reconnect"}));
  // The example that the service's users copy stays one the console takes.
  std::ifstream example(REPOSA_CONFIG_EXAMPLE);
  const std::string text((std::istreambuf_iterator<char>(example)), {});
  ASSERT_FALSE(text.empty());
  Options options = ParseOptions(ParseConfig(text).shared);
  EXPECT_EQ(Summary(options),
            "127.0.0.1:5190 auth= sn=Demo User pwfile=/home/demo/.config/reposa/demo.password "
            "join=Reposa Lobby/4,");
  // Its commented TLS lines, taken in, are a server over TLS with its CA.
  std::string tls = text;
  for (const char* line : {"# server = tls://", "# ca-file = "}) tls.replace(tls.find(line), 2, "");
  EXPECT_EQ(Summary(ParseOptions(ParseConfig(tls).shared)),
            "tls://chat.example:5191 ca=/home/demo/.config/reposa/chat-ca.pem auth= sn=Demo User "
            "pwfile=/home/demo/.config/reposa/demo.password join=Reposa Lobby/4,");

  for (const char* bad : {"= x\n", "--join = x\n", "config = other.conf\n"}) {
    try {
      ParseConfig(std::string("# ok\n") + bad);
      ADD_FAILURE() << bad;
    } catch (const UsageError& e) {
      EXPECT_EQ(std::string(e.what()), "--config: line 2 does not name an option") << bad;
    }
  }
}

// Sections: each account has the shared lines, then its own, then the
// command line; each refusal names what is wrong.
TEST(ConfigAccounts, EachSectionIsOneAccountOverTheSharedLines) {
  const std::string two =
      "server = a:1\njoin = L\n[account one]\nscreen-name = One\npassword-file = /1\n"
      "[account  two words ]\nserver = b:2\nscreen-name=Two\npassword-file=/2\njoin = M\n";
  std::string many;
  for (std::size_t i = 0; i <= kMaxAccounts; ++i)
    many += "[account a" + std::to_string(i) + "]\nscreen-name = x\npassword-file = /p\n";
  const struct {
    std::string text;
    std::vector<std::string> args;  // after --config
    const char* summary;            // nullptr: refused with `error`
    const char* error;
  } rows[] = {
      {two,
       {},
       "one: a:1 auth= sn=One pwfile=/1 join=L/4, config=/c|"
       "two words: b:2 auth= sn=Two pwfile=/2 join=L/4,M/4, config=/c|",
       ""},
      {two,
       {"--reconnect", "--join", "N"},
       "one: a:1 auth= sn=One pwfile=/1 join=L/4,N/4, config=/c reconnect|"
       "two words: b:2 auth= sn=Two pwfile=/2 join=L/4,M/4,N/4, config=/c reconnect|",
       ""},
      {"server = a:1\n", {"--screen-name", "S"}, ": a:1 auth= sn=S pwfile=- join=- config=/c|", ""},
      {"[account solo]\nscreen-name = S\n",
       {},
       "solo: 127.0.0.1:5190 auth= sn=S pwfile=- join=- config=/c|",
       ""},
      {two, {"--screen-name", "S"}, nullptr, "--screen-name and --password-file belong"},
      {two + "[account one]\n", {}, nullptr, "--config: line 11: a second account named \"one\""},
      {"[account x]\noutput-limit = 9999\n",
       {},
       nullptr,
       "--config: [account x]: output-limit is the whole program's"},
      {"[account x]\nserver = h\n", {}, nullptr, "--config: [account x]: no screen-name"},
      {two + "[account y]\nscreen-name = Y\n",
       {},
       nullptr,
       "--config: [account y]: no password-file"},
      {"[account]\n", {}, nullptr, "--config: line 1: a section is \"[account NAME]\""},
      {many, {}, nullptr, "--config: line 3001: more than 1000 accounts"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 60) + testing::PrintToString(row.args));
    std::vector<std::string> args = {"--config", "/c"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    try {
      std::string summary;
      for (const Account& a : ConfigAccounts(ParseConfig(row.text), args))
        summary += a.name + ": " + Summary(a.options) + "|";
      ASSERT_NE(row.summary, nullptr) << "accepted";
      EXPECT_EQ(summary, row.summary);
    } catch (const UsageError& e) {
      ASSERT_EQ(row.summary, nullptr) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind(row.error, 0), 0u) << e.what();
    }
  }
}

}  // namespace
}  // namespace reposa::console
