#include "accounts.h"

#include <algorithm>

#include "json_bytes.h"
#include "server_socket.h"

namespace reposa::console {

using json = nlohmann::ordered_json;

ConsoleAccounts::ConsoleAccounts(kez::posix::EventLoop& loop, OutputQueue& out,
                                 const std::vector<Account>& accounts)
    : out_(out) {
  entries_.reserve(accounts.size());
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    const Options& o = accounts[i].options;
    entries_.push_back(Entry{&accounts[i], BytesToJson(accounts[i].name), nullptr});
    entries_.back().session = std::make_unique<ConsoleSession>(
        loop, [this, i](const json& line) { Emit(i, line); }, o.packets, o.joins,
        ServerSocket(loop, o.server, o.caFile));
  }
}

void ConsoleAccounts::Start(std::vector<std::optional<std::string>>& passwords,
                            std::function<void()> onAllRefused) {
  onAllRefused_ = std::move(onAllRefused);
  for (std::size_t i = 0; i < entries_.size() && i < passwords.size(); ++i) {
    const Options& o = entries_[i].account->options;
    std::optional<std::string>& password = passwords[i];
    if (!o.screenName || !password) continue;
    if (o.reconnect) {
      // The password stays in memory: every new sign-on needs it.
      entries_[i].session->KeepPresent(
          SignOn{*o.screenName, *password, o.server.host, o.server.port, o.authServer},
          [this, i] { Refused(i); });
    } else {
      entries_[i].session->Control().Login(*o.screenName, *password, o.server.host, o.server.port,
                                           o.authServer);
    }
    std::fill(password->begin(), password->end(), '\0');
  }
}

void ConsoleAccounts::Refused(std::size_t index) {
  entries_[index].refused = true;
  if (std::all_of(entries_.begin(), entries_.end(), [](const Entry& e) { return e.refused; }) &&
      onAllRefused_)
    onAllRefused_();
}

// The account goes first, so a reader sees at once whose line it is.
void ConsoleAccounts::Emit(std::size_t index, const json& line) {
  if (entries_.size() == 1) return out_.Write(line);
  json tagged = {{"account", entries_[index].name}};
  for (const auto& [key, value] : line.items()) tagged[key] = value;
  out_.Write(tagged, index);
}

ConsoleAccounts::Entry* ConsoleAccounts::Find(const std::string& name) {
  for (Entry& entry : entries_)
    if (entry.account->name == name) return &entry;
  return nullptr;
}

void ConsoleAccounts::HandleLine(std::string_view line) {
  if (entries_.size() == 1) return entries_.front().session->HandleLine(line);
  std::optional<std::string> name;
  ParsedLine parsed = ParseRequest(line, &name);
  if (std::holds_alternative<std::monostate>(parsed)) return;
  if (Entry* entry = name ? Find(*name) : nullptr)
    return entry->session->Handle(std::move(parsed), line.size());
  if (name) {
    out_.Write(json{{"error", "no account named \"" + BytesToJson(*name).get<std::string>() +
                                  "\" is configured"}});
  } else if (const auto* error = std::get_if<json>(&parsed)) {
    out_.Write(*error);
  } else {
    out_.Write(json{{"error", "with several accounts each line names its \"account\""}});
  }
}

}  // namespace reposa::console
