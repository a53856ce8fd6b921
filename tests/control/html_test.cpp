#include "wire.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "RescanningHtml.h"
#include "Session.h"

namespace kez::wire {
namespace {

using test::RescanningRemoveHtml;

TEST(RemoveHtml, Table) {
  const struct {
    std::string in, out;
  } rows[] = {
      {"", ""},
      {"no markup here", "no markup here"},
      {"<b>word</b>", "word"},
      {"see <a href=\"http://x.example/a b?c=d\">this</a> now", "see this now"},
      {"1 < 2", "1 < 2"},
      {"a < b > c", "a  c"},  // the example the headers give
      // The stray "<" opens a tag that runs to the end tag's ">".
      {"<b>1 < 2</b>", "1 "},
      // A "<" inside a tag belongs to it.
      {"a<b<c>d>e", "ad>e"},
      {"fish &amp; chips &lt;3", "fish &amp; chips &lt;3"},
      {"a>b", "a>b"},
      {">a<b>c", ">ac"},
      // A line break tag goes without leaving a line break.
      {"one<br>two", "onetwo"},
      {"  x <i>y</i>  z ", "  x y  z "},
      // An unclosed "<" stops the work, after earlier tags went.
      {"<b>x</b> <y", "x <y"},
      {"<b>x</b> < y <", "x < y <"},
      {"<", "<"},
      {"<>", ""},
      {"<<>>", ">"},
      {"<<<", "<<<"},
      {std::string("a\0<\xff>b\xe9", 7), std::string("a\0b\xe9", 4)},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(RemoveHtml(row.in), row.out) << row.in;
    EXPECT_EQ(RescanningRemoveHtml(row.in), row.out) << row.in;  // the yardstick agrees
  }
}

TEST(RemoveHtml, TheControlsMethodStripsTheSameWay) {
  test::Session s;
  EXPECT_EQ(s.control->RemoveHtml("<font color=\"red\">hi</font> <3"), "hi <3");
}

TEST(RemoveHtml, MatchesRescanningOnEveryShortText) {
  // Every text of up to 9 characters over "<", ">" and a letter.
  const std::string alphabet = "<>a";
  std::size_t checked = 0;
  for (std::size_t length = 0; length <= 9; ++length) {
    std::vector<std::size_t> digits(length, 0);
    for (;;) {
      std::string text;
      for (std::size_t d : digits) text += alphabet[d];
      ASSERT_EQ(RemoveHtml(text), RescanningRemoveHtml(text)) << text;
      ++checked;
      std::size_t i = 0;
      while (i < length && ++digits[i] == alphabet.size()) digits[i++] = 0;
      if (i == length) break;
    }
  }
  EXPECT_EQ(checked, 29524u);  // 3^0 + ... + 3^9
}

TEST(RemoveHtml, MatchesRescanningOnGeneratedTexts) {
  const std::string alphabet = "<>ab ";
  std::mt19937 random(20240611);  // fixed seed: the same texts on every run
  for (int n = 0; n < 5000; ++n) {
    const std::size_t length = random() % 200;
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    ASSERT_EQ(RemoveHtml(text), RescanningRemoveHtml(text)) << text;
  }
}

TEST(RemoveHtml, LargeTextWithManyTagsIsStrippedWhole) {
  // 2,000,000 bytes holding 200,000 tags, every one of them stripped. How
  // the time grows with the text is measured by the RemoveHtml benchmark.
  const std::string unit = "<i>word</i>, ok bye.";  // 20 bytes, 2 tags
  ASSERT_EQ(unit.size(), 20u);
  std::string text, expected;
  for (int i = 0; i < 100000; ++i) {
    text += unit;
    expected += "word, ok bye.";
  }
  ASSERT_EQ(text.size(), 2000000u);
  EXPECT_EQ(RemoveHtml(text), expected);
}

}  // namespace
}  // namespace kez::wire
