#include "server_limits.h"

#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "options.h"

namespace reposa::server {
namespace {

// A limit's default as docs/limits.md shows it.
std::string Shown(const LimitInfo& limit) {
  const std::string n = std::to_string(limit.value);
  switch (limit.unit) {
    case LimitUnit::Bytes:
      if (limit.value % kMiB == 0) return std::to_string(limit.value / kMiB) + " MiB";
      if (limit.value % kKiB == 0) return std::to_string(limit.value / kKiB) + " KiB";
      return n + " bytes";
    case LimitUnit::Seconds:
      return n + " s";
    case LimitUnit::Millis:
      return n + " ms";
    case LimitUnit::Count:
      break;
  }
  return n;
}

std::string DocRow(const LimitInfo& limit) {
  const std::string option = limit.option.empty() ? "—" : "`--" + std::string(limit.option) + "`";
  return "| `" + std::string(limit.name) + "` | " + option + " | " + Shown(limit) + " | " +
         std::string(limit.reason) + " |\n";
}

// Each limit is in docs/limits.md, and each option of one in --help, with
// its default: neither can fall behind the list. A failure prints the table
// the docs should hold.
TEST(Limits, EachIsInTheHelpAndTheDocsWithItsDefault) {
  const std::string usage = UsageText();
  const std::string docs = reposa::test::ReadBytes(REPOSA_LIMITS_DOC);
  std::string table;
  std::size_t documented = 0;
  for (const LimitInfo& limit : kLimitList) {
    table += DocRow(limit);
    documented += docs.find(DocRow(limit)) != std::string::npos;
    if (limit.option.empty()) continue;
    const std::size_t at = usage.find("  --" + std::string(limit.option) + " ");
    ASSERT_NE(at, std::string::npos) << limit.option << " is missing from --help";
    const std::string entry = usage.substr(at, usage.find("\n  --", at + 1) - at);
    EXPECT_NE(entry.find("(" + std::to_string(limit.value) + ")"), std::string::npos) << entry;
  }
  std::size_t rows = 0;
  for (std::size_t at = docs.find("\n| `"); at != std::string::npos;
       at = docs.find("\n| `", at + 1))
    ++rows;
  EXPECT_TRUE(documented == std::size(kLimitList) && rows == documented)
      << "docs/limits.md should list, in its table:\n"
      << table;
}

}  // namespace
}  // namespace reposa::server
