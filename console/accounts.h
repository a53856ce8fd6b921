#pragma once

#include <deque>
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
  // --reconnect. At most kSignOnsAtOnce accounts of one server sign on at
  // a time: a server bounds the sign-ons under way from one address (8 by
  // default for ours), and half that leaves room for other programs of the
  // machine. `onAllRefused` runs once every account has been refused for
  // good, which only an account with --reconnect can be.
  static constexpr std::size_t kSignOnsAtOnce = 4;
  void Start(std::vector<std::optional<std::string>>& passwords,
             std::function<void()> onAllRefused);
  void HandleLine(std::string_view line);

 private:
  struct Entry {
    const Account* account = nullptr;
    nlohmann::ordered_json name;  // as printed
    std::unique_ptr<ConsoleSession> session;
    std::size_t gate = 0;    // of its server
    std::string password;    // until its first sign-on starts
    bool signingOn = false;  // holding a place of its gate
    bool refused = false;
  };
  // The first sign-ons of the accounts of one server.
  struct Gate {
    std::string server;
    std::size_t signingOn = 0;
    std::deque<std::size_t> waiting;
  };
  void Emit(std::size_t index, const nlohmann::ordered_json& line);
  void Refused(std::size_t index);
  Entry* Find(const std::string& name);
  void AddToGate(std::size_t index);
  void OpenGate(std::size_t gate);
  void SignOnNow(std::size_t index);
  void Settled(std::size_t index);

  kez::posix::EventLoop& loop_;
  OutputQueue& out_;
  std::vector<Entry> entries_;
  std::vector<Gate> gates_;
  std::function<void()> onAllRefused_;
};

}  // namespace reposa::console
