#include "service/names.h"

#include <gtest/gtest.h>

#include "wire.h"

namespace reposa::server {
namespace {

TEST(UnroastPassword, ReversesTheClientsRoasting) {
  EXPECT_EQ(UnroastPassword("0x2408105c23001130"), "password");
  EXPECT_EQ(UnroastPassword("0x2408105C23001130"), "password");
  for (std::string p : {"", "a", "Tic/Toc", "seven77", "eight888", "\xff\x80 x:y\"\\"}) {
    EXPECT_EQ(UnroastPassword(kez::wire::RoastPassword(p)), p) << p;
  }
  for (std::string bad : {"", "0", "2408", "0x1", "0xzz", "1x00", "0x 0"})
    EXPECT_FALSE(UnroastPassword(bad)) << bad;
}

TEST(IsValidScreenName, TakesWhatCannotBreakAMessage) {
  struct Case {
    std::string name;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"pal1", true},
      {"Some Body", true},
      {"a.b_c-d@e", true},
      {"", false},
      {"   ", false},
      {"pal:1", false},
      {"a,b", false},
      {"a\"b", false},
      {"a\\b", false},
      {"tab\there", false},
      {"\xe9t\xe9", false},
      {std::string(48, 'x'), true},
      {std::string(49, 'x'), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidScreenName(c.name, Limits{}), c.valid) << c.name;
  EXPECT_EQ(NormalizeName("Some Body "), "somebody");
}

}  // namespace
}  // namespace reposa::server
