#include "wire.h"
#include "arguments.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace kez::wire {
namespace {

TEST(WordToBytes, BigEndianInRangeAndEmptyOutside) {
  const struct {
    int32_t value;
    std::string bytes;
  } rows[] = {
      {0, std::string("\0\0", 2)},
      {4660, "\x12\x34"},
      {255, std::string("\0\xff", 2)},
      {256, std::string("\x01\0", 2)},
      {65535, "\xff\xff"},
      {65536, ""},
      {-1, ""},
      {std::numeric_limits<int32_t>::min(), ""},
  };
  for (const auto& row : rows) EXPECT_EQ(WordToBytes(row.value), row.bytes) << row.value;
}

TEST(BytesToWord, MissingBytesCountAsZero) {
  EXPECT_EQ(BytesToWord(""), 0);
  EXPECT_EQ(BytesToWord("\x01"), 256);
  EXPECT_EQ(BytesToWord("\x12\x34"), 4660);
  EXPECT_EQ(BytesToWord("\xff\xff\x01"), 65535);
  for (int v : {0, 1, 255, 256, 4660, 65534, 65535}) EXPECT_EQ(BytesToWord(WordToBytes(v)), v);
}

TEST(NormalizeName, LowerCaseWithoutSpacesOnly) {
  EXPECT_EQ(NormalizeName("Some Body"), "somebody");
  EXPECT_EQ(NormalizeName("  A B  C "), "abc");
  EXPECT_EQ(NormalizeName("tab\there"), "tab\there");  // other white space stays
  EXPECT_EQ(NormalizeName("\xC4Z9_"), "\xC4z9_");      // only ASCII letters fold
  EXPECT_EQ(NormalizeName(""), "");
}

TEST(RoastPassword, XorWithRepeatingKeyInLowerHex) {
  EXPECT_EQ(RoastPassword("password"), "0x2408105c23001130");
  EXPECT_EQ(RoastPassword(""), "0x");
  // The key repeats every seven characters: position 7 uses key 'T' again.
  EXPECT_EQ(RoastPassword(std::string(8, '\0')),
            "0x546963"
            "2f546f63"
            "54");
  EXPECT_EQ(RoastPassword("\xff"), "0xab");
  EXPECT_EQ(RoastPassword("Tic/Toc"), "0x00000000000000");
}

TEST(EscapeArgument, BackslashBeforeEachOfNineCharacters) {
  const struct {
    std::string in, out;
  } rows[] = {
      {"a\\b", "a\\\\b"},
      {"\"q\"", "\\\"q\\\""},
      {"$()[]{}", "\\$\\(\\)\\[\\]\\{\\}"},
      {"\\\"", "\\\\\\\""},
      {"it's <b>&amp;\n#\t\r\xe9", "it's <b>&amp;\n#\t\r\xe9"},
      {"", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(EscapeArgument(row.in), row.out) << row.in;
}

TEST(ToInt, StrictDecimalWithRangeCheck) {
  const struct {
    std::string text;
    std::optional<int16_t> i16;
    std::optional<int32_t> i32;
  } rows[] = {
      {"0", 0, 0},
      {"050", 50, 50},
      {"-1", -1, -1},
      {"+7", 7, 7},
      {"32767", 32767, 32767},
      {"32768", std::nullopt, 32768},
      {"-32768", -32768, -32768},
      {"-32769", std::nullopt, -32769},
      {"2147483647", std::nullopt, 2147483647},
      {"2147483648", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"-", std::nullopt, std::nullopt},
      {"+", std::nullopt, std::nullopt},
      {"+-1", std::nullopt, std::nullopt},
      {" 1", std::nullopt, std::nullopt},
      {"1 ", std::nullopt, std::nullopt},
      {"1x", std::nullopt, std::nullopt},
      {"x", std::nullopt, std::nullopt},
      {"0x10", std::nullopt, std::nullopt},
      {"1.5", std::nullopt, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ToInt16(row.text), row.i16) << row.text;
    EXPECT_EQ(ToInt32(row.text), row.i32) << row.text;
  }
}

TEST(SplitFields, LastPartKeepsTheRest) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(SplitFields("NICK:Some:Body", 2), (V{"NICK", "Some:Body"}));
  EXPECT_EQ(SplitFields("A:b:c:d", 3), (V{"A", "b", "c:d"}));
  EXPECT_EQ(SplitFields("A:b", 5), (V{"A", "b"}));
  EXPECT_EQ(SplitFields("A", 3), (V{"A"}));
  EXPECT_EQ(SplitFields("A:", 3), (V{"A", ""}));
  EXPECT_EQ(SplitFields("A::b:", kNoLimit), (V{"A", "", "b", ""}));
  EXPECT_EQ(SplitFields("", kNoLimit), (V{""}));
  EXPECT_EQ(SplitFields("A:b:c", 1), (V{"A:b:c"}));
}

}  // namespace
}  // namespace kez::wire
