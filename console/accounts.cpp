#include "accounts.h"

#include <algorithm>

#include "json_bytes.h"
#include "server_socket.h"

namespace reposa::console {

using json = nlohmann::ordered_json;

ConsoleAccounts::ConsoleAccounts(kez::posix::EventLoop& loop, OutputQueue& out,
                                 const std::vector<Account>& accounts)
    : loop_(loop), out_(out) {
  entries_.reserve(accounts.size());
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    const Options& o = accounts[i].options;
    entries_.emplace_back();
    entries_.back().account = &accounts[i];
    entries_.back().name = BytesToJson(accounts[i].name);
    entries_.back().session = std::make_unique<ConsoleSession>(
        loop, [this, i](const json& line) { Emit(i, line); }, o.packets, o.joins,
        ServerSocket(loop, o.server, o.caFile));
    entries_.back().session->OnSignOnSettled([this, i] { Settled(i); });
    AddToGate(i);
  }
}

void ConsoleAccounts::AddToGate(std::size_t index) {
  const kez::host::Address& server = entries_[index].account->options.server;
  const std::string key = server.host + ":" + std::to_string(server.port);
  std::size_t gate = 0;
  while (gate < gates_.size() && gates_[gate].server != key) ++gate;
  if (gate == gates_.size()) gates_.push_back(Gate{key, 0, {}});
  entries_[index].gate = gate;
}

void ConsoleAccounts::Start(std::vector<std::optional<std::string>>& passwords,
                            std::function<void()> onAllRefused) {
  onAllRefused_ = std::move(onAllRefused);
  for (std::size_t i = 0; i < entries_.size() && i < passwords.size(); ++i) {
    std::optional<std::string>& password = passwords[i];
    if (!entries_[i].account->options.screenName || !password) continue;
    entries_[i].password = *password;
    std::fill(password->begin(), password->end(), '\0');
    gates_[entries_[i].gate].waiting.push_back(i);
  }
  for (std::size_t gate = 0; gate < gates_.size(); ++gate) OpenGate(gate);
}

void ConsoleAccounts::OpenGate(std::size_t gate) {
  Gate& g = gates_[gate];
  while (g.signingOn < kSignOnsAtOnce && !g.waiting.empty()) {
    const std::size_t index = g.waiting.front();
    g.waiting.pop_front();
    ++g.signingOn;
    entries_[index].signingOn = true;
    SignOnNow(index);
  }
}

// A sign-on that ends lets the next of its server start, on a later turn:
// not inside the events of the one that ended.
void ConsoleAccounts::Settled(std::size_t index) {
  Entry& entry = entries_[index];
  if (!entry.signingOn) return;
  entry.signingOn = false;
  --gates_[entry.gate].signingOn;
  loop_.Post([this, gate = entry.gate] { OpenGate(gate); });
}

void ConsoleAccounts::SignOnNow(std::size_t index) {
  Entry& entry = entries_[index];
  const Options& o = entry.account->options;
  if (o.reconnect) {
    // The password stays in memory: every new sign-on needs it.
    entry.session->KeepPresent(
        SignOn{*o.screenName, entry.password, o.server.host, o.server.port, o.authServer},
        [this, index] { Refused(index); });
  } else {
    entry.session->Control().Login(*o.screenName, entry.password, o.server.host, o.server.port,
                                   o.authServer);
  }
  std::fill(entry.password.begin(), entry.password.end(), '\0');
  entry.password.clear();
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
