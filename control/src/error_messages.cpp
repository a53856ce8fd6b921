// ERROR:<code>:<argument>, turned into an Error event with its text, by the
// table below; and what a sign-on error means for signing on again.

#include <optional>

#include "core.h"
#include "wire.h"

namespace kez {

namespace {

// What goes between a row's two fixed texts.
enum class Insert : uint8_t { Nothing, Argument, Code };

// One row of the error table. The code (field 1) and the sub-code are
// compared as text; an empty one matches any. The first matching row
// decides: if it cannot form its event (a missing argument, a number that
// does not convert), nothing is raised.
struct ErrorRow {
  std::string_view code;
  std::string_view sub;
  // Fields the message is cut into: 4 puts the room in field 2 and the
  // sub-code in field 3; otherwise field 2 is both the argument and the
  // sub-code, holding all the rest.
  std::size_t cut;
  std::string_view before;
  Insert insert;
  std::string_view after;
  bool numberFromSub = false;  // intErrorCode is the sub-code, not the code
};

constexpr std::string_view kJoin = "Could not join chat '";

// Tested in this order.
constexpr ErrorRow kErrors[] = {
    {"901", "", 3, "", Insert::Argument, " is not available"},
    {"902", "", 3, "Warning of ", Insert::Argument, " is not currently available"},
    {"903", "", 3, "A message has been dropped, you are exceeding the server speed limit",
     Insert::Nothing, ""},
    {"911", "", 3, "Error validating input", Insert::Nothing, ""},
    {"951", "-1", 4, kJoin, Insert::Argument, "': Possible Reset"},
    {"951", "24", 4, kJoin, Insert::Argument, "': Chat Full"},
    {"951", "48", 4, kJoin, Insert::Argument, "': Rated"},
    {"951", "74", 4, kJoin, Insert::Argument, "': Ejected"},
    {"951", "", 4, kJoin, Insert::Argument, "': Unknown error"},
    {"980", "", 3, "Invalid account or password", Insert::Nothing, ""},
    {"983", "", 3, "You are attempting to sign on again too soon", Insert::Nothing, ""},
    {"989", "7", 3, "The screenname or password you entered is not valid", Insert::Nothing, ""},
    {"989", "17", 3, "Sign on Blocked", Insert::Nothing, ""},
    {"989", "", 3, error::kUnknownSignOnErrorText, Insert::Argument, "", true},
    {"", "", 3, "Error code: ", Insert::Code, ""},
};

// The row's sub-code, if it names one, is in `fields`.
bool SubCodeMatches(const ErrorRow& row, const std::vector<std::string_view>& fields) {
  if (row.sub.empty()) return true;
  const std::size_t at = row.cut - 1;
  return fields.size() > at && fields[at] == row.sub;
}

// The event's text, or nothing when its argument is missing.
std::optional<std::string> Text(const ErrorRow& row, std::string_view code,
                                const std::vector<std::string_view>& fields) {
  std::string text(row.before);
  if (row.insert == Insert::Argument) {
    if (fields.size() < 3) return std::nullopt;
    text += fields[2];
  } else if (row.insert == Insert::Code) {
    text += code;
  }
  text += row.after;
  return text;
}

}  // namespace

// ERROR:<code>[:<argument>], or ERROR:951:<room>[:<sub-code>]
void SessionCore::Impl::HandleError(std::string_view payload) {
  const auto f = wire::SplitFields(payload, 3);
  if (f.size() < 2) return;
  const std::string_view code = f[1];
  std::optional<std::vector<std::string_view>> f4;  // cut only for a row that wants it
  for (const ErrorRow& row : kErrors) {
    if (!row.code.empty() && row.code != code) continue;
    if (row.cut == 4 && !f4) f4 = wire::SplitFields(payload, 4);
    const std::vector<std::string_view>& fields = row.cut == 4 ? *f4 : f;
    if (!SubCodeMatches(row, fields)) continue;
    const auto text = Text(row, code, fields);
    const auto number = wire::ToInt16(row.numberFromSub ? (f.size() > 2 ? f[2] : "") : code);
    if (text && number) Raise([&](KezTOCSockEvents& e) { e.Error(*number, *text); });
    return;
  }
}

SignOnAdvice AdviseSignOnRetry(int16_t intErrorCode, std::string_view strError) {
  using std::chrono::seconds;
  // An unknown 989 sub-code arrives under its own number, which may look
  // like any code; its text tells it apart.
  if (strError.starts_with(error::kUnknownSignOnErrorText)) return {SignOnRetry::Worthwhile, {}};
  switch (intErrorCode) {
    case error::kInvalidAccount:
    case error::kSignOnRefused:
      return {SignOnRetry::Never, seconds{0}};
    case error::kSignOnTooSoon:
      return {SignOnRetry::Wait, kSignOnTooSoonWait};
    default:
      return {SignOnRetry::Worthwhile, seconds{0}};
  }
}

}  // namespace kez
