#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordingOutbox.h"
#include "service/command_parser.h"
#include "service/directory.h"
#include "service/service.h"

namespace reposa::server::test {

// A service on a recording outbox with a clock the test sets; open unless
// given accounts.
struct ServiceFixture : ::testing::Test {
  explicit ServiceFixture(Limits l = {}, const std::vector<AccountEntry>& accounts = {})
      : limits(l), directory(limits, accounts) {}

  Limits limits;
  Directory directory;
  RecordingOutbox out;
  std::int64_t now = 1700000000;
  Service service{directory, out, [this] { return now; }, limits};

  // Signs `name` on as session `id`, online, with its sign-on messages taken.
  void On(SessionId id, std::string_view name, std::string_view password = "pw") {
    ASSERT_TRUE(service.SignOn(id, name, password));
    Run(id, "toc_init_done");
    out.Take(id);
  }
  void Run(SessionId id, std::string_view line) {
    const auto command = ParseCommandLine(line);
    ASSERT_TRUE(command) << line;
    service.Command(id, *command);
  }
  std::vector<std::string> Take(SessionId id) { return out.Take(id); }
};

using Msgs = std::vector<std::string>;

}  // namespace reposa::server::test
