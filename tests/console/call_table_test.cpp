#include "call_table.h"

#include <gtest/gtest.h>

namespace reposa::console {
namespace {

using json = nlohmann::ordered_json;

TEST(ConvertArgument, EachKindTakesItsOwnJsonTypeWithinRange) {
  const struct {
    const char* jsonText;
    ArgKind kind;
    std::optional<ArgValue> value;  // nothing: refused
    const char* error;              // part of the refusal text
  } rows[] = {
      {R"("text")", ArgKind::Text, ArgValue(std::string("text")), ""},
      {R"("\u00ff\u0000")", ArgKind::Text, ArgValue(std::string("\xff\0", 2)), ""},
      {R"("ab\u0100")", ArgKind::Text, std::nullopt, "character 2 lies above U+00FF"},
      {"5", ArgKind::Text, std::nullopt, "expected a string"},
      {"null", ArgKind::Text, std::nullopt, "expected a string"},
      {"32767", ArgKind::Int16, ArgValue(int16_t{32767}), ""},
      {"-32768", ArgKind::Int16, ArgValue(int16_t{-32768}), ""},
      {"32768", ArgKind::Int16, std::nullopt, "32768 is outside the Int16 range -32768..32767"},
      {"-32769", ArgKind::Int16, std::nullopt, "outside the Int16 range"},
      {"4.0", ArgKind::Int16, std::nullopt, "expected an integer"},
      {R"("4")", ArgKind::Int16, std::nullopt, "expected an integer"},
      {"true", ArgKind::Int16, std::nullopt, "expected an integer"},
      {"2147483647", ArgKind::Int32, ArgValue(int32_t{2147483647}), ""},
      {"-2147483648", ArgKind::Int32, ArgValue(int32_t{-2147483647 - 1}), ""},
      {"0", ArgKind::Int32, ArgValue(int32_t{0}), ""},
      {"2147483648", ArgKind::Int32, std::nullopt,
       "2147483648 is outside the Int32 range -2147483648..2147483647"},
      {"-2147483649", ArgKind::Int32, std::nullopt, "outside the Int32 range"},
      {"18446744073709551615", ArgKind::Int32, std::nullopt, "outside the Int32 range"},
      {"1e3", ArgKind::Int32, std::nullopt, "expected an integer"},
      {"true", ArgKind::Bool, ArgValue(true), ""},
      {"false", ArgKind::Bool, ArgValue(false), ""},
      {"1", ArgKind::Bool, std::nullopt, "expected true or false"},
      {R"("true")", ArgKind::Bool, std::nullopt, "expected true or false"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.jsonText);
    const json value = json::parse(row.jsonText);
    if (row.value) {
      EXPECT_EQ(ConvertArgument(value, row.kind), *row.value);
    } else {
      try {
        ConvertArgument(value, row.kind);
        ADD_FAILURE() << "accepted";
      } catch (const RequestError& e) {
        EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
      }
    }
  }
}

TEST(CallTable, NamesAreExactAndOnlyPublic) {
  EXPECT_NE(FindMethod("SendIM"), nullptr);
  EXPECT_EQ(FindMethod("sendim"), nullptr);
  EXPECT_EQ(FindMethod("SendIM "), nullptr);
  EXPECT_EQ(FindMethod("ProcessFrame"), nullptr);
  EXPECT_EQ(FindMethod(""), nullptr);
  EXPECT_TRUE(FindMethod("SendIM")->command);
  EXPECT_FALSE(FindMethod("Login")->command) << "only the client commands wait for the sign-on";
}

}  // namespace
}  // namespace reposa::console
