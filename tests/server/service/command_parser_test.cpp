#include "service/command_parser.h"

#include <gtest/gtest.h>

#include <random>

#include "arguments.h"
#include "wire.h"

namespace reposa::server {
namespace {

using namespace std::string_literals;

struct ParseCase {
  std::string line;
  std::optional<std::vector<std::string>> parts;  // word then arguments; nullopt: refused
};

TEST(ParseCommandLine, SplitsQuotedAndBareArguments) {
  const std::vector<ParseCase> cases = {
      {"toc_init_done", std::vector<std::string>{"toc_init_done"}},
      {R"(toc_send_im "pal1" "hi there")",
       std::vector<std::string>{"toc_send_im", "pal1", "hi there"}},
      {R"(toc_send_im "pal1" "hi" auto)",
       std::vector<std::string>{"toc_send_im", "pal1", "hi", "auto"}},
      {"toc2_set_pdmode 3", std::vector<std::string>{"toc2_set_pdmode", "3"}},
      {R"(toc_set_away "")", std::vector<std::string>{"toc_set_away", ""}},
      {R"(x "a\\b" "\"q\"" "\$\(\)\[\]\{\}")",
       std::vector<std::string>{"x", "a\\b", "\"q\"", "$()[]{}"}},
      {R"(x "\n")", std::vector<std::string>{"x", "n"}},
      {"x \"line\nfeed\"", std::vector<std::string>{"x", "line\nfeed"}},
      {"x  \"two\"   spaces ", std::vector<std::string>{"x", "two", "spaces"}},
      {"x \"\xe9\xff\"", std::vector<std::string>{"x", "\xe9\xff"}},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {R"(toc_send_im "pal1 "hi)", std::nullopt},
      {R"(x "unclosed)", std::nullopt},
      {R"(x "ends in a backslash\)", std::nullopt},
      {R"(x "a"b)", std::nullopt},
      {R"(x a"b")", std::nullopt},
      {R"("quoted word")", std::nullopt},
      {R"(back\slash x)", std::nullopt},
  };
  for (const ParseCase& c : cases) {
    const auto parsed = ParseCommandLine(c.line);
    if (!c.parts) {
      EXPECT_FALSE(parsed) << c.line;
      continue;
    }
    ASSERT_TRUE(parsed) << c.line;
    std::vector<std::string> parts{parsed->word};
    parts.insert(parts.end(), parsed->args.begin(), parsed->args.end());
    EXPECT_EQ(parts, *c.parts) << c.line;
  }
}

// Whatever bytes the client's escaping quotes, the parser gives them back.
TEST(ParseCommandLine, UndoesTheClientsEscaping) {
  std::vector<std::string> texts = {"",       "\\",           "\\\"",
                                    "\"x\"",  "$(x)[y]{z}",   "a\\\\b",
                                    "\n\t\r", "\x80\xfe\xff", "back\\slash end\\"};
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::string t(random() % 40, '\0');
    for (char& c : t) c = static_cast<char>(1 + random() % 255);  // a line holds no NUL
    texts.push_back(t);
  }
  for (const std::string& t : texts) {
    const std::string line = "toc_send_im \"pal\" \"" + kez::wire::EscapeArgument(t) + "\" auto";
    const auto parsed = ParseCommandLine(line);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->args.size(), 3u);
    EXPECT_EQ(parsed->args[1], t);
  }
}

}  // namespace
}  // namespace reposa::server
