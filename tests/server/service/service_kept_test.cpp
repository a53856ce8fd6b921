// Instant messages to registered accounts that are not on: kept within
// their bounds and as privacy allows, handed over in order after the next
// sign-on, a batch at a time.

#include <gtest/gtest.h>

#include "ServiceFixture.h"

namespace reposa::server::test {
namespace {

Limits SmallBoxes() {
  Limits l;
  l.offlineMessages = 4;
  l.offlinePerSender = 2;
  l.offlineBytes = 256;
  l.offlineBatch = 1;  // one message a batch
  return l;
}

struct KeptTest : ServiceFixture {
  KeptTest()
      : ServiceFixture(SmallBoxes(), {{"Al", "pw"},
                                      {"Bo", "pw"},
                                      {"Cy", "pw"},
                                      {"Dee", "pw"},
                                      {"Eve", "pw"},
                                      {"Fay", "pw"}}) {}
};

std::string Im(std::string_view from, std::string_view text) {
  return "IM_IN_ENC2:" + std::string(from) + ":F:F:F: O:F:F:F:" + std::string(text);
}

TEST_F(KeptTest, KeptWithinBoundsAndPrivacyThenHandedOverInOrder) {
  On(2, "Bo");
  Run(2, R"(toc2_add_deny "cy")");
  Run(2, "toc2_set_pdmode 4");
  service.Ended(2);
  On(1, "Al");
  On(3, "Cy");
  On(4, "Dee");
  On(5, "Eve");
  Run(5, R"(toc2_add_deny "bo")");
  Run(5, "toc2_set_pdmode 4");
  On(6, "Fay");
  for (SessionId s = 1; s <= 6; ++s) Take(s);
  const struct {
    SessionId from;
    std::string line;
    Msgs answer;
  } rows[] = {
      {1, R"(toc_send_im "bo" "one")", {}},
      {1, R"(toc_send_im "bo" "auto" auto)", {"ERROR:901:bo"}},  // automatic replies: never
      {3, R"(toc_send_im "bo" "blocked")", {"ERROR:901:bo"}},    // bo blocks cy
      {5, R"(toc_send_im "bo" "blocking")", {"ERROR:901:bo"}},   // eve blocks bo
      {1, R"(toc_send_im "nobody" "x")", {"ERROR:901:nobody"}},
      {1, R"(toc_send_im "B O" "two: \"quoted\"")", {}},
      {1, R"(toc_send_im "bo" "three")", {"ERROR:901:bo"}},  // two from one sender
      {4, "toc_send_im \"bo\" \"" + std::string(250, 'x') + "\"", {"ERROR:901:bo"}},  // bytes
      {4, R"(toc_send_im "bo" "four")", {}},
      {4, R"(toc_send_im "bo" "five")", {}},
      {6, R"(toc_send_im "bo" "six")", {"ERROR:901:bo"}},  // four in the box
  };
  for (const auto& r : rows) {
    Run(r.from, r.line);
    EXPECT_EQ(Take(r.from), r.answer) << r.line;
  }
  // Nothing before the configuration is done; then one batch, and the next
  // only once the client has taken it.
  ASSERT_TRUE(service.SignOn(2, "bo", "pw"));
  EXPECT_EQ(Take(2).size(), 3u);  // SIGN_ON, NICK, CONFIG2
  Run(2, "toc_init_done");
  EXPECT_EQ(Take(2), (Msgs{Im("Al", "one")}));
  Run(1, R"(toc_send_im "bo" "late")");  // behind the kept ones
  EXPECT_EQ(Take(2), Msgs{});
  Msgs rest;
  for (int i = 0; i < 5; ++i) {
    service.Drained(2);
    for (std::string& m : Take(2)) rest.push_back(std::move(m));
  }
  EXPECT_EQ(rest, (Msgs{Im("Al", "two: \"quoted\""), Im("Dee", "four"), Im("Dee", "five"),
                        Im("Al", "late")}));
  EXPECT_EQ(out.drains, std::vector<SessionId>(4, 2));
  Run(1, R"(toc_send_im "bo" "now")");  // the box is empty: straight through
  EXPECT_EQ(Take(2), (Msgs{Im("Al", "now")}));
  // A kept message counts as a message for a warning.
  Run(2, R"(toc_evil "dee" "norm")");
  EXPECT_EQ(Take(4), (Msgs{"EVILED:10:Bo"}));
}

// Off (--offline-messages 0), or an open server, whose names are anyone's.
TEST(KeptOff, NothingIsKept) {
  Limits off;
  off.offlineMessages = 0;
  const struct {
    Limits limits;
    std::vector<AccountEntry> accounts;
  } rows[] = {{off, {{"Al", "pw"}, {"Bo", "pw"}}}, {Limits{}, {}}};
  for (const auto& r : rows) {
    struct Fixture : ServiceFixture {
      using ServiceFixture::ServiceFixture;
      void TestBody() override {}
    } f(r.limits, r.accounts);
    f.On(2, "Bo");
    f.service.Ended(2);
    f.On(1, "Al");
    f.Run(1, R"(toc_send_im "bo" "hello")");
    EXPECT_EQ(f.Take(1), (Msgs{"ERROR:901:bo"})) << r.accounts.size();
  }
}

// The server-wide bound holds room for one message: a removed account's kept
// messages give theirs back, so the next one is kept for someone else.
TEST(KeptRemoved, ARemovedAccountGivesBackItsRoom) {
  Limits one;
  one.offlineTotal = 9;  // "al", "Al" and "hello"
  for (const bool remove : {false, true}) {
    struct Fixture : ServiceFixture {
      using ServiceFixture::ServiceFixture;
      void TestBody() override {}
    } f(one, {{"Al", "pw"}, {"Bo", "pw"}, {"Cy", "pw"}});
    f.On(1, "Al");
    f.Run(1, R"(toc_send_im "bo" "hello")");
    EXPECT_EQ(f.Take(1), Msgs{});
    if (remove) f.service.AccountRemoved("bo");
    f.Run(1, R"(toc_send_im "cy" "hello")");
    EXPECT_EQ(f.Take(1), remove ? Msgs{} : Msgs{"ERROR:901:cy"}) << remove;
  }
}

}  // namespace
}  // namespace reposa::server::test
