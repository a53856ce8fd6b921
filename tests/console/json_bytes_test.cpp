#include "json_bytes.h"

#include <gtest/gtest.h>

namespace reposa::console {
namespace {

using json = nlohmann::ordered_json;

TEST(BytesToJson, EachByteIsOneCharacterWrittenAsAscii) {
  const struct {
    std::string bytes;
    std::string line;
  } rows[] = {
      {"", R"("")"},
      {"hi there", R"("hi there")"},
      {std::string("\0", 1), R"("\u0000")"},
      {"\x01\x1f", R"("\u0001\u001f")"},
      {"a\"b\\c\n", R"("a\"b\\c\n")"},
      {"\x80", R"("\u0080")"},
      {"\xe9t\xe9", R"("\u00e9t\u00e9")"},
      {"\xff", R"("\u00ff")"},
      {"\xc3\xa9", R"("\u00c3\u00a9")"},  // UTF-8 bytes stay two bytes
  };
  for (const auto& row : rows) EXPECT_EQ(ToLine(BytesToJson(row.bytes)), row.line) << row.line;
}

TEST(Utf8ToBytes, CharactersUpToFFAreBytesAnythingAboveIsRefused) {
  const struct {
    std::string utf8;
    std::optional<std::string> bytes;
    std::size_t badPosition;
  } rows[] = {
      {"", "", 0},
      {"abc", "abc", 0},
      {std::string("a\0b", 3), std::string("a\0b", 3), 0},
      {"\xc2\x80", "\x80", 0},
      {"\xc3\xa9", "\xe9", 0},
      {"\xc3\xbf", "\xff", 0},
      {"ab\xc4\x80", std::nullopt, 2},         // U+0100
      {"\xe2\x82\xac", std::nullopt, 0},       // U+20AC
      {"x\xf0\x9f\x98\x80", std::nullopt, 1},  // U+1F600
      {"\xc3", std::nullopt, 0},               // cut short
      {"\xc3(", std::nullopt, 0},              // no continuation byte
      {"\xc0\x80", std::nullopt, 0},           // overlong NUL
      {"\x80", std::nullopt, 0},               // stray continuation byte
  };
  for (const auto& row : rows) {
    std::size_t bad = 99;
    EXPECT_EQ(Utf8ToBytes(row.utf8, &bad), row.bytes) << testing::PrintToString(row.utf8);
    if (!row.bytes) {
      EXPECT_EQ(bad, row.badPosition) << testing::PrintToString(row.utf8);
    }
  }
}

TEST(JsonBytes, EveryByteRoundTripsThroughAPrintedLine) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string line = ToLine(BytesToJson(all));
  for (char c : line) EXPECT_LT(static_cast<unsigned char>(c), 0x80);  // plain ASCII out
  const json parsed = json::parse(line);
  EXPECT_EQ(Utf8ToBytes(parsed.get<std::string>()), all);
}

}  // namespace
}  // namespace reposa::console
