#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console_session.h"
#include "kez/posix/EventLoop.h"
#include "options.h"
#include "output.h"

namespace reposa::console {

// Every account of the program, each a ConsoleSession with its own
// connection, all on one loop and one output. With one account its lines are
// exactly a lone session's. With several, each line it prints carries
// "account": NAME, and each input line goes to the account it names.
class ConsoleAccounts {
 public:
  // `accounts` outlives this.
  ConsoleAccounts(kez::posix::EventLoop& loop, OutputQueue& out,
                  const std::vector<Account>& accounts);

  // Signs every account that has a screen name on with its password (one
  // per account, in order; wiped once used), keeping it present with
  // --reconnect. `onAllRefused` runs once every account has been refused for
  // good, which only an account with --reconnect can be.
  void Start(std::vector<std::optional<std::string>>& passwords,
             std::function<void()> onAllRefused);
  void HandleLine(std::string_view line);

 private:
  struct Entry {
    const Account* account;
    nlohmann::ordered_json name;  // as printed
    std::unique_ptr<ConsoleSession> session;
    bool refused = false;
  };
  void Emit(std::size_t index, const nlohmann::ordered_json& line);
  void Refused(std::size_t index);
  Entry* Find(const std::string& name);

  OutputQueue& out_;
  std::vector<Entry> entries_;
  std::function<void()> onAllRefused_;
};

}  // namespace reposa::console
