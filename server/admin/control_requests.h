#pragma once

// What a running server does for each request of its control socket. The
// protocol is ours: one JSON object a line each way. A request names what
// it wants in "request":
//   {"request":"account add","name":NAME,"hash":ARGON2ID}   register, or a new password
//   {"request":"account password","name":NAME,"hash":ARGON2ID}
//   {"request":"account remove","name":NAME}
//   {"request":"account list"}
//   {"request":"status"}
//   {"request":"backup","file":ABSOLUTE PATH}
// and the answer is {"ok":true,...} or {"error":TEXT}. Passwords never
// cross the socket: the command hashes them and sends the hash.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "admin/request_server.h"
#include "kez/posix/EventLoop.h"
#include "metrics/metrics.h"
#include "server_limits.h"
#include "service/directory.h"
#include "service/service.h"
#include "store/account_store.h"
#include "store/committer.h"

namespace reposa::server {

class ControlRequests {
 public:
  using Log = std::function<void(std::string_view)>;
  struct Parts {
    kez::posix::EventLoop& loop;
    Service& service;
    Directory& directory;
    Committer& committer;
    AccountStore* store;  // null: changes are kept in memory only
    const Limits& limits;
    Log log;
    std::function<metrics::Gauges()> gauges;
  };
  explicit ControlRequests(Parts parts);
  ~ControlRequests();
  ControlRequests(const ControlRequests&) = delete;
  ControlRequests& operator=(const ControlRequests&) = delete;

  // One request line (with its line feed); the answer line goes to `reply`,
  // now or, for a backup, once it is done.
  void Handle(std::string_view line, const RequestServer::Reply& reply);

 private:
  using json = nlohmann::json;
  json Register(const json& request, bool mustExist);
  json Remove(const json& request);
  json List() const;
  json Status() const;
  void Backup(const json& request, const RequestServer::Reply& reply);
  void BackupStep();
  // Stores `change` after what the service changed this turn; false with
  // the cause in `error` when the store refuses.
  bool Store(const StoredChange& change, std::string& error);

  Parts parts_;
  std::unique_ptr<AccountStore::Backup> backup_;
  RequestServer::Reply backupReply_;
  std::string backupFile_;
  metrics::Clock::time_point backupStarted_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace reposa::server
