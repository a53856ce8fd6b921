#include "commands.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "account_command.h"
#include "admin/control_socket.h"
#include "service/names.h"
#include "service/password_hash.h"
#include "store/sqlite_account_store.h"

namespace reposa::server {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

std::string Line(const json& request) {
  return request.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// Exit status of "status" when no server runs, as service managers have it.
constexpr int kNotRunning = 3;

// The request for the running server; the password, if the command needs
// one, is asked for here and only its hash goes anywhere.
json Request(const Options& o) {
  const Limits& limits = o.server.limits;
  if (o.command == "account add" || o.command == "account password") {
    if (!IsValidScreenName(o.argument, limits)) throw std::runtime_error("not a valid screen name");
    const std::string password = ReadNewPassword(o.argument);
    if (!IsValidPassword(password, limits))
      throw std::runtime_error("not a valid password (1 to " + std::to_string(limits.maxPassword) +
                               " bytes, no control characters)");
    return {{"request", o.command}, {"name", o.argument}, {"hash", HashPassword(password, limits)}};
  }
  if (o.command == "account remove") return {{"request", o.command}, {"name", o.argument}};
  if (o.command == "backup")
    return {{"request", o.command}, {"file", std::filesystem::absolute(o.argument).string()}};
  return {{"request", o.command}};
}

void PrintList(const json& accounts) {
  for (const json& a : accounts)
    std::cout << a.value("display", std::string()) << '\t'
              << SignOnTime(a.value("lastSignOn", std::int64_t{0})) << '\t'
              << (a.value("registered", false) ? "registered" : "unregistered") << '\n';
}

void PrintStatus(const json& s) {
  const json& c = s["connections"];
  const auto up = s.value("uptime", std::int64_t{0});
  char uptime[64];
  std::snprintf(uptime, sizeof uptime, "%lldh %02lldm %02llds", static_cast<long long>(up / 3600),
                static_cast<long long>(up / 60 % 60), static_cast<long long>(up % 60));
  std::cout << "sessions: " << s.value("sessions", 0)
            << "\nconnections: " << c.value("signingOn", 0) << " signing on, "
            << c.value("signedOn", 0) << " signed on, " << c.value("closing", 0)
            << " closing\nqueued output: " << s.value("queuedBytes", 0)
            << " bytes\nuptime: " << uptime << "\naccounts: " << s.value("accounts", 0)
            << (s.value("open", false) ? " (open server)" : " (registered server)") << '\n';
}

// What the running server answered: printed, and the exit status.
int Answered(const Options& o, const json& answer,
             const std::function<void(std::string_view)>& log) {
  if (!answer.is_object() || answer.contains("error")) {
    log(o.command + ": " +
        (answer.is_object() ? answer.value("error", std::string("?")) : "a garbled answer"));
    return 1;
  }
  if (o.command == "account list") {
    PrintList(answer.value("accounts", json::array()));
  } else if (o.command == "status") {
    PrintStatus(answer);
  } else {
    log(answer.value("text", std::string()) + " (the running server)");
  }
  return 0;
}

// No server runs: the same on the database file.
int OnTheFile(const Options& o, const json& request, const std::string& database,
              const std::function<void(std::string_view)>& log) {
  if (o.command == "status") {
    log("no server runs with " + database);
    return kNotRunning;
  }
  SqliteAccountStore store(database, o.server.limits);
  if (o.command == "account list") {
    json accounts = json::array();
    for (const StoredAccount& a : store.LoadAll())
      accounts.push_back({{"display", a.display},
                          {"lastSignOn", a.lastSignOn},
                          {"registered", a.passwordHash.has_value()}});
    PrintList(accounts);
  } else if (o.command == "account remove") {
    log(RemoveAccount(store, o.argument));
  } else if (o.command == "backup") {
    BackUp(store, request["file"].get<std::string>());
    log("backed up " + database + " to " + request["file"].get<std::string>());
  } else {
    log(RegisterAccount(store, o.argument, request["hash"].get<std::string>(),
                        o.command == "account password", o.server.limits));
  }
  return 0;
}

}  // namespace

std::string SignOnTime(std::int64_t seconds) {
  if (seconds <= 0) return "never";
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  ::gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

int RunCommand(const Options& o, const std::string& database,
               const std::function<void(std::string_view)>& log) {
  try {
    const json request = Request(o);
    const std::string control = o.control.empty() ? DefaultControlSocketPath(database) : o.control;
    // A backup takes as long as the database is large; the rest are quick.
    const std::optional<std::chrono::milliseconds> bound =
        o.command == "backup" ? std::nullopt : std::optional(std::chrono::milliseconds(30s));
    if (const std::optional<std::string> answer =
            control.empty() ? std::nullopt : AskRunningServer(control, Line(request), bound))
      return Answered(o, json::parse(*answer, nullptr, false), log);
    return OnTheFile(o, request, database, log);
  } catch (const std::exception& e) {
    log(o.command + ": " + e.what());
    return 1;
  }
}

}  // namespace reposa::server
