#include <gtest/gtest.h>

#include "Core.h"

namespace kez::test {
namespace {

using Events = std::vector<std::string>;

TEST(Config2, ParsesLinesIntoTheLoggedInListsThenSendsInitDone) {
  const struct {
    const char* name;
    std::vector<std::string> messages;
    Events events;
    bool initDone;
  } rows[] = {
      {"split over two messages",
       {"CONFIG2:m:1\ng:Buddies\n", "CONFIG2:b:pal1\ndone:\n"},
       {"LoggedIn|somebody|[[group]Buddies,pal1]|[]|[]|[]||1"},
       true},
      {"empty configuration", {"CONFIG2:done:\n"}, {"LoggedIn|somebody|[]|[]|[]|[]||0"}, true},
      {"every kind of line",
       {"CONFIG2:g:G\nb:a:::::b\nd:blocked\np:permitted\npref:x:y\nm:3\nx:1\n\nm:z\ndone:\n"},
       {"LoggedIn|somebody|[[group]G,a:b]|[blocked]|[permitted]|[x:1,]|x:y|3"},
       true},
      {"last pref and mode win",
       {"CONFIG2:pref:a\npref:b\nm:2\nm:4\ndone:\n"},
       {"LoggedIn|somebody|[]|[]|[]|[]|b|4"},
       true},
      {"five-colon runs fold left to right",
       {"CONFIG2:b:::::::::::x\nb:::::::\ndone:\n"},
       {"LoggedIn|somebody|[::x,::]|[]|[]|[]||0"},
       true},
      {"lines after done are dropped",
       {"CONFIG2:b:in\ndone:\nb:out\nd:out\n"},
       {"LoggedIn|somebody|[in]|[]|[]|[]||0"},
       true},
      {"no end marker raises and sends nothing", {"CONFIG2:b:a\ndone:"}, {}, false},
      {"marker inside another line completes nothing", {"CONFIG2:b:xdone:\n"}, {}, false},
      {"group named with the marker keeps the list whole",
       {"CONFIG2:g:Work done:\nb:pal1\n", "CONFIG2:b:pal2\ndone:\n"},
       {"LoggedIn|somebody|[[group]Work done:,pal1,pal2]|[]|[]|[]||0"},
       true},
      {"marker at the start of the next message begins a line",
       {"CONFIG2:b:pal1\n", "CONFIG2:done:\n"},
       {"LoggedIn|somebody|[pal1]|[]|[]|[]||0"},
       true},
      {"marker split across messages completes nothing",
       {"CONFIG2:b:a\ndo", "CONFIG2:ne:\n"},
       {},
       false},
      {"two configurations, two sign-ons",
       {"CONFIG2:done:\n", "CONFIG2:m:1\ndone:\n"},
       {"LoggedIn|somebody|[]|[]|[]|[]||0", "LoggedIn|somebody|[]|[]|[]|[]||1"},
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string stream;
    for (const std::string& m : row.messages) stream += Data(m);
    EverySplit(stream, [&](Core& s) {
      EXPECT_EQ(s.events.events, row.events);
      EXPECT_EQ(s.TakeSent().find("toc_init_done") != std::string::npos, row.initDone);
    });
  }
}

TEST(Config2, InitDoneFollowsTheLoggedInHandler) {
  Core s;
  s.Connect();
  std::string sentDuringEvent = "unset";
  s.events.onEvent = [&](const std::string&) { sentDuringEvent = s.sent; };
  s.Arrive(Data("CONFIG2:done:\n"));
  EXPECT_EQ(sentDuringEvent, "");
  EXPECT_EQ(s.TakeSent(), Sent("toc_init_done", 0));
}

TEST(Config2, PendingTextSurvivesSignOffAndPrefixesTheNextConfiguration) {
  Core s;
  s.Connect();
  s.Arrive(Data("CONFIG2:g:Old\n"));
  s.control->LogOff();
  s.control->Opened();  // same session, a connection that was never re-logged-in
  s.Arrive(Data("CONFIG2:done:\n"));
  EXPECT_EQ(s.events.events.back(), "LoggedIn||[[group]Old]|[]|[]|[]||0");
}

// Counts the buddies of each LoggedIn.
struct BuddyCounter : RecordingListener {
  std::vector<std::size_t> counts;
  void LoggedIn(const std::string&, std::vector<std::string> b, std::vector<std::string>,
                std::vector<std::string>, std::vector<std::string>, const std::string&,
                int16_t) override {
    counts.push_back(b.size());
  }
};

TEST(Config2, TenThousandBuddiesParseInLinearTime) {
  Core s;
  s.Connect();
  std::string config = "CONFIG2:g:All\n";
  for (int i = 0; i < 10000; ++i) config += "b:buddy" + std::to_string(i) + "\n";
  config += "done:\n";
  BuddyCounter counter;
  s.control->SetEvents(&counter);
  // Spread over frames the way a server splits a long configuration.
  for (std::size_t pos = 0; pos < config.size(); pos += 4000) {
    const std::string part = config.substr(pos, 4000);
    s.Arrive(Data(pos == 0 ? part : "CONFIG2:" + part));
  }
  EXPECT_EQ(counter.counts, std::vector<std::size_t>{10001});
}

TEST(Config2, GatheredTextPastTheCapIsDropped) {
  Core s;
  s.Connect();
  BuddyCounter counter;
  s.control->SetEvents(&counter);
  std::string lines;
  while (lines.size() < 64000) lines += "b:" + std::string(97, 'x') + "\n";  // 100 bytes a line
  const std::size_t fits = kMaxPendingConfig / lines.size();
  // Up to the cap everything is kept; the message that would pass it drops
  // the lot, and gathering starts again from the next one.
  for (std::size_t i = 0; i < fits; ++i) s.Arrive(Data("CONFIG2:" + lines));
  s.Arrive(Data("CONFIG2:done:\n"));
  for (std::size_t i = 0; i <= fits; ++i) s.Arrive(Data("CONFIG2:" + lines));
  s.Arrive(Data("CONFIG2:b:last\ndone:\n"));
  EXPECT_EQ(counter.counts, (std::vector<std::size_t>{fits * 640, 1}));
}

}  // namespace
}  // namespace kez::test
