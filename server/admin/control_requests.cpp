#include "admin/control_requests.h"

#include <ctime>

#include "service/names.h"
#include "service/password_hash.h"

namespace reposa::server {

namespace {

using json = nlohmann::json;

json Error(std::string text) {
  return json{{"error", std::move(text)}};
}

json Done(std::string text) {
  return json{{"ok", true}, {"text", std::move(text)}};
}

// The string member `key` of a request, or empty when it has none.
std::string Text(const json& request, const char* key) {
  const auto it = request.find(key);
  return it != request.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string Line(const json& answer) {
  return answer.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace

ControlRequests::ControlRequests(Parts parts) : parts_(std::move(parts)) {}

ControlRequests::~ControlRequests() {
  *alive_ = false;
}

void ControlRequests::Handle(std::string_view line, const RequestServer::Reply& reply) {
  const json request = json::parse(line, nullptr, false);
  if (!request.is_object()) return reply(Line(Error("not a JSON object on one line")));
  const std::string what = Text(request, "request");
  json answer;
  if (what == "account add") {
    answer = Register(request, false);
  } else if (what == "account password") {
    answer = Register(request, true);
  } else if (what == "account remove") {
    answer = Remove(request);
  } else if (what == "account list") {
    answer = List();
  } else if (what == "status") {
    answer = Status();
  } else if (what == "backup") {
    return Backup(request, reply);
  } else {
    answer = Error(
        "unknown request; known: account add, account password, account remove, "
        "account list, status, backup");
  }
  reply(Line(answer));
}

bool ControlRequests::Store(const StoredChange& change, std::string& error) {
  if (!parts_.store) return true;
  // What the service changed this turn goes first, so the two never cross.
  parts_.committer.Finish();
  const bool stored = parts_.store->Apply({&change, 1});
  metrics::Count(stored ? metrics::Counter::storeCommit : metrics::Counter::storeFailure);
  if (stored) return true;
  error = "cannot write " + parts_.store->where() + ": " + parts_.store->lastError();
  return false;
}

json ControlRequests::Register(const json& request, bool mustExist) {
  const std::string display = Text(request, "name");
  const std::string hash = Text(request, "hash");
  if (!IsValidScreenName(display, parts_.limits)) return Error("not a valid screen name");
  if (!IsPasswordHash(hash, parts_.limits)) return Error("not an Argon2id password hash");
  const std::string name = NormalizeName(display);
  const Account* existing = parts_.directory.Find(name);
  if (mustExist && (!existing || !existing->passwordHash))
    return Error("no registered account " + display + "; account add registers one");
  // The display name and the password hash alone: the lists stay in the
  // store as they are, read or not.
  StoredAccount row{name, existing ? existing->display : std::string(), hash, {}};
  // A new password keeps the name as its owner formatted it.
  if (!mustExist || row.display.empty()) row.display = std::string(TrimSpaces(display));
  std::string error;
  if (!Store({.kind = StoredChange::Kind::Edits, .row = row, .password = true}, error))
    return Error(error);
  parts_.service.AccountRegistered(row.display, hash);
  return Done((existing && existing->passwordHash ? "new password for " : "registered ") +
              row.display);
}

json ControlRequests::Remove(const json& request) {
  const std::string typed = Text(request, "name");
  const std::string name = NormalizeName(typed);
  bool known = !typed.empty() && parts_.directory.Find(name);
  // An open server forgets idle names that the store still holds.
  if (!typed.empty() && !known && parts_.store) {
    try {
      known = parts_.store->Load(name).has_value();
    } catch (const StoreError& e) {
      return Error(e.what());
    }
  }
  if (!known) return Error("no account " + typed);
  std::string error;
  if (!Store({.kind = StoredChange::Kind::Remove, .row = StoredAccount{name, {}, {}, {}}}, error))
    return Error(error);
  // Nothing of it may wait in the committer once the account is gone.
  if (Account* account = parts_.directory.Find(name)) parts_.committer.Removed(*account);
  parts_.service.AccountRemoved(name);
  return Done("removed " + typed + ", its lists and its kept messages");
}

json ControlRequests::List() const {
  json accounts = json::array();
  for (const auto& [name, account] : parts_.directory.all())
    accounts.push_back({{"name", name},
                        {"display", account.display},
                        {"registered", account.passwordHash.has_value()},
                        {"lastSignOn", account.lastSignOn}});
  return json{{"ok", true}, {"accounts", std::move(accounts)}};
}

json ControlRequests::Status() const {
  const metrics::Gauges g = parts_.gauges();
  return json{{"ok", true},
              {"sessions", g.sessions},
              {"connections",
               {{"signingOn", g.signingOn}, {"signedOn", g.signedOn}, {"closing", g.closing}}},
              {"queuedBytes", g.queuedBytes},
              {"uptime", static_cast<std::int64_t>(g.uptimeSeconds)},
              {"open", parts_.directory.open()},
              {"accounts", parts_.directory.size()}};
}

void ControlRequests::Backup(const json& request, const RequestServer::Reply& reply) {
  const std::string file = Text(request, "file");
  if (file.empty() || file.front() != '/')
    return reply(Line(Error("backup wants the absolute path of a new file")));
  if (!parts_.store) return reply(Line(Error("this server keeps no database")));
  if (backup_) return reply(Line(Error("a backup to " + backupFile_ + " is running")));
  try {
    backup_ = parts_.store->StartBackup(file);
  } catch (const StoreError& e) {
    return reply(Line(Error(e.what())));
  }
  backupReply_ = reply;
  backupFile_ = file;
  backupStarted_ = metrics::Clock::now();
  parts_.log("backup of " + parts_.store->where() + " to " + file + " started");
  BackupStep();
}

// One step a turn, so everything else the loop has goes on between them.
void ControlRequests::BackupStep() {
  json answer;
  try {
    if (!backup_->Step()) {
      std::weak_ptr<bool> alive = alive_;
      auto next = [this, alive] {
        if (!alive.expired() && backup_) BackupStep();
      };
      // While the copy is flushed, a look every few milliseconds is enough.
      if (backup_->Flushing())
        parts_.loop.AddTimer(std::chrono::milliseconds(5), next, false);
      else
        parts_.loop.Post(next);
      return;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(metrics::Clock::now() -
                                                                          backupStarted_);
    answer = Done("backed up " + parts_.store->where() + " to " + backupFile_ + " in " +
                  std::to_string(ms.count()) + " ms");
  } catch (const StoreError& e) {
    answer = Error(e.what());
  }
  parts_.log(answer.contains("error") ? answer["error"].get<std::string>()
                                      : answer["text"].get<std::string>());
  backup_.reset();
  RequestServer::Reply reply = std::move(backupReply_);
  backupReply_ = {};
  reply(Line(answer));
}

}  // namespace reposa::server
