#include "service/stored_lists.h"

#include <gtest/gtest.h>

namespace reposa::server {
namespace {

const Limits kLimits;

StoredLists Sample() {
  StoredLists l;
  bool created = false;
  l.AddBuddy("Buddies", "Pal One", created, kLimits);
  l.AddBuddy("Buddies", "pal2", created, kLimits, "Pal: the 2nd");
  l.AddGroup("Work", kLimits);
  l.AddName(l.permitted, "friend", kLimits);
  l.AddName(l.blocked, "pest", kLimits);
  l.privacyMode = kDenySome;
  return l;
}

TEST(StoredLists, ConfigTextListsModeGroupsBuddiesPermitsBlocks) {
  EXPECT_EQ(StoredLists{}.ConfigText(), "m:1\ndone:\n");
  EXPECT_EQ(Sample().ConfigText(),
            "m:4\ng:Buddies\nb:Pal One\nb:pal2:Pal: the 2nd\ng:Work\np:friend\nd:pest\ndone:\n");
}

TEST(StoredLists, ConfigTextReadsBackAsItWasAndSkipsWhatDoesNotFit) {
  const std::string text = Sample().ConfigText();
  EXPECT_EQ(ParseConfigText(text, kLimits).ConfigText(), text);
  EXPECT_EQ(ParseConfigText("m:9\nb:orphan\ng:\nb:lost\nx:y\ng:G\nb:bad,name\nb:ok:\n"
                            "p:bad:name\nd:Pest\ndone:\ng:after\n",
                            kLimits)
                .ConfigText(),
            "m:1\ng:G\nb:ok\nd:pest\ndone:\n");
}

TEST(StoredLists, EditsReportWhetherAnythingChanged) {
  StoredLists l = Sample();
  bool created = true;
  EXPECT_EQ(l.AddBuddy("Buddies", "palone", created, kLimits), StoredLists::Change::Unchanged);
  EXPECT_FALSE(created);
  EXPECT_EQ(l.AddBuddy("New", "pal3", created, kLimits), StoredLists::Change::Done);
  EXPECT_TRUE(created);
  EXPECT_TRUE(l.RemoveBuddy("Buddies", "PALONE"));
  EXPECT_FALSE(l.RemoveBuddy("Buddies", "palone"));
  EXPECT_FALSE(l.RemoveBuddy("Nowhere", "pal2"));
  EXPECT_EQ(l.AddGroup("Work", kLimits), StoredLists::Change::Unchanged);
  // A buddy in two groups stays a buddy until it leaves both.
  EXPECT_EQ(l.AddBuddy("Work", "Pal 3", created, kLimits), StoredLists::Change::Done);
  EXPECT_TRUE(l.RemoveGroup("New"));
  EXPECT_TRUE(l.HasBuddy("pal3"));
  EXPECT_TRUE(l.RemoveBuddy("Work", "pal3"));
  EXPECT_FALSE(l.HasBuddy("pal3"));
  EXPECT_EQ(l.AddName(l.blocked, "pest", kLimits), StoredLists::Change::Unchanged);
  EXPECT_TRUE(l.RemoveName(l.blocked, "pest"));
}

TEST(StoredLists, ListsStopAtTheirLimits) {
  StoredLists l;
  bool created = false;
  for (std::size_t i = 0; i < kLimits.maxBuddies; ++i)
    ASSERT_EQ(l.AddBuddy("G" + std::to_string(i % 10), "p" + std::to_string(i), created, kLimits),
              StoredLists::Change::Done);
  EXPECT_EQ(l.AddBuddy("G0", "one-more", created, kLimits), StoredLists::Change::Full);
  for (std::size_t i = l.groups.size(); i < kLimits.maxGroups; ++i)
    l.AddGroup("H" + std::to_string(i), kLimits);
  EXPECT_EQ(l.AddGroup("too many", kLimits), StoredLists::Change::Full);
  for (std::size_t i = 0; i < kLimits.maxPrivacyNames; ++i)
    l.AddName(l.blocked, "b" + std::to_string(i), kLimits);
  EXPECT_EQ(l.AddName(l.blocked, "extra", kLimits), StoredLists::Change::Full);
}

TEST(StoredLists, PermitsFollowThePrivacyMode) {
  struct Case {
    int mode;
    bool buddy, permitted, blocked, stranger;  // may each of these see the owner?
  };
  const std::vector<Case> cases = {
      {kPermitAll, true, true, true, true},        {kDenyAll, false, false, false, false},
      {kPermitSome, false, true, false, false},    {kDenySome, true, true, false, true},
      {kPermitBuddies, true, false, false, false},
  };
  for (const Case& c : cases) {
    StoredLists l;
    bool created = false;
    l.AddBuddy("G", "Bud Dy", created, kLimits);
    l.AddName(l.permitted, "ok", kLimits);
    l.AddName(l.blocked, "no", kLimits);
    l.privacyMode = c.mode;
    EXPECT_EQ(l.Permits("buddy"), c.buddy) << c.mode;
    EXPECT_EQ(l.Permits("ok"), c.permitted) << c.mode;
    EXPECT_EQ(l.Permits("no"), c.blocked) << c.mode;
    EXPECT_EQ(l.Permits("stranger"), c.stranger) << c.mode;
  }
}

TEST(Config2Messages, SplitsAtLineEndsWithDoneInTheLastOnly) {
  const std::string text = "m:1\ng:Buddies\nb:pal1\nb:pal2\ndone:\n";
  struct Case {
    std::size_t limit;
    std::vector<std::string> messages;
  };
  const std::vector<Case> cases = {
      {65535, {"CONFIG2:m:1\ng:Buddies\nb:pal1\nb:pal2\ndone:\n"}},
      {30, {"CONFIG2:m:1\ng:Buddies\nb:pal1\n", "CONFIG2:b:pal2\ndone:\n"}},
      {22, {"CONFIG2:m:1\ng:Buddies\n", "CONFIG2:b:pal1\nb:pal2\n", "CONFIG2:done:\n"}},
      {1,
       {"CONFIG2:m:1\n", "CONFIG2:g:Buddies\n", "CONFIG2:b:pal1\n", "CONFIG2:b:pal2\n",
        "CONFIG2:done:\n"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Config2Messages(text, c.limit), c.messages) << c.limit;
}

TEST(IsValidGroupName, KeepsOutWhatWouldEndTheConfigurationEarly) {
  EXPECT_TRUE(IsValidGroupName("Buddies", kLimits));
  EXPECT_TRUE(IsValidGroupName("Work: old ($)", kLimits));
  EXPECT_TRUE(IsValidGroupName("done: and more", kLimits));
  EXPECT_FALSE(IsValidGroupName("all done:", kLimits));
  EXPECT_FALSE(IsValidGroupName("", kLimits));
  EXPECT_FALSE(IsValidGroupName("two\nlines", kLimits));
  EXPECT_FALSE(IsValidGroupName(std::string(kLimits.maxGroupName + 1, 'g'), kLimits));
}

}  // namespace
}  // namespace reposa::server
