#pragma once

// A reposa-console signed on at a ServerProcess from its start, its lines
// checked against the ones a scenario spells out.

#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "ConsoleProcess.h"
#include "PrivateFile.h"
#include "ServerProcess.h"

namespace reposa::test {

// Stands for the sign-on time in a presence update, which is the server's
// clock: any time within a minute of ours matches it.
inline const json kSignOnTime = "<sign-on time>";

inline bool Matches(const json& expected, const json& actual) {
  if (expected == kSignOnTime)
    return actual.is_number_integer() &&
           std::llabs(actual.get<long long>() - static_cast<long long>(std::time(nullptr))) <= 60;
  if (expected.is_structured()) {
    if (expected.type() != actual.type() || expected.size() != actual.size()) return false;
    if (expected.is_array()) {
      for (std::size_t i = 0; i < expected.size(); ++i)
        if (!Matches(expected[i], actual[i])) return false;
      return true;
    }
    for (auto it = expected.begin(); it != expected.end(); ++it)
      if (!actual.contains(it.key()) || !Matches(it.value(), actual[it.key()])) return false;
    return true;
  }
  return expected == actual;
}

// The password file outlives the start of the console that reads it.
struct PasswordFile {
  PrivateFile password;
};

// A reposa-console signed on at `server` from its start.
class ConsoleClient : private PasswordFile, public ConsoleProcess {
 public:
  ConsoleClient(const ServerProcess& server, std::string_view screenName, std::string_view password,
                std::vector<std::string> options = {})
      : PasswordFile{PrivateFile(std::string(password) + "\n")}, ConsoleProcess([&] {
          std::vector<std::string> args = {"--server",        server.address(),
                                           "--screen-name",   std::string(screenName),
                                           "--password-file", this->password.path};
          args.insert(args.end(), options.begin(), options.end());
          return args;
        }()) {}

  // Reads one line per expected one and compares them in order: an empty
  // text when all match, else what differed.
  std::string Receive(const std::vector<json>& expected) {
    for (const json& want : expected) {
      const std::optional<json> got = ReadJson();
      if (!got) return "expected " + want.dump() + ", got nothing within the bound";
      if (!Matches(want, *got)) return "expected " + want.dump() + ", got " + got->dump();
    }
    return {};
  }
  // Nothing unread is waiting: a call made now is answered next.
  std::string Quiet() {
    Call("RemoveHtml", {"<b>quiet?</b>"});
    return Receive({json{{"result", "quiet?"}}});
  }
  // Ends the program as a user would (SIGTERM): its exit status, or nothing
  // when it does not end within the bound.
  std::optional<int> End() { return Stop(SIGTERM); }
};

}  // namespace reposa::test
