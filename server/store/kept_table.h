#pragma once

// The table of messages kept for accounts that are not signed on: one row a
// message, by recipient and id. Its writes run inside the account store's
// transaction, so a turn's messages are stored with its other changes.

#include <sqlite3.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "store/account_store.h"
#include "store/database.h"

namespace reposa::server {

class KeptTable {
 public:
  // Throws DatabaseError when the statements cannot be prepared.
  explicit KeptTable(sqlite3* db);

  // Kept only while the recipient's account exists, so a removed account
  // gathers none.
  void Keep(std::string_view recipient, const StoredMessage& message);
  // The recipient's messages up to id `through` go.
  void Forget(std::string_view recipient, std::int64_t through);
  void ForgetAll(std::string_view recipient);
  // Puts each account's messages, oldest first, into its `kept`; messages of
  // names that are not among `accounts` are left out.
  void LoadInto(std::vector<StoredAccount>& accounts);

 private:
  sqlite3* db_;
  Statement keep_;
  Statement forget_;
  Statement forgetAll_;
};

}  // namespace reposa::server
