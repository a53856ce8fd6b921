#include "store/accounts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace reposa::server {
namespace {

TEST(ParseAccounts, ReadsNamesAndPasswords) {
  const auto entries = ParseAccounts(
      "# test accounts\n\nSome Body:pass:with:colons\r\npal1:x\n  \n", "accounts", Limits{});
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].display, "Some Body");
  EXPECT_EQ(entries[0].password, "pass:with:colons");
  EXPECT_EQ(entries[1].display, "pal1");
  EXPECT_EQ(entries[1].password, "x");
}

TEST(ParseAccounts, NamesTheBadLineWithoutQuotingIt) {
  struct Case {
    std::string text;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"pal1 hunter2\n", "f:1: expected screenname:password"},
      {"ok:1\nbad,name:hunter2\n", "f:2: not a valid screen name"},
      {"pal1:\n", "f:1: the password must be"},
      {"pal1:hunter2\nPAL 1:hunter3\n", "f:2: screen name listed twice"},
  };
  for (const Case& c : cases) {
    try {
      ParseAccounts(c.text, "f", Limits{});
      ADD_FAILURE() << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with(c.error)) << e.what();
      EXPECT_EQ(std::string(e.what()).find("hunter"), std::string::npos) << e.what();
    }
  }
}

TEST(AccessibleByOthers, FlagsFilesOthersMayRead) {
  char path[] = "/tmp/reposa-accounts-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  unsigned mode = 0;
  ::chmod(path, 0600);
  EXPECT_FALSE(AccessibleByOthers(path, mode));
  EXPECT_EQ(mode, 0600u);
  ::chmod(path, 0644);
  EXPECT_TRUE(AccessibleByOthers(path, mode));
  ::chmod(path, 0640);
  EXPECT_TRUE(AccessibleByOthers(path, mode));
  std::remove(path);
  EXPECT_THROW(LoadAccounts(path, Limits{}), std::runtime_error);
}

}  // namespace
}  // namespace reposa::server
