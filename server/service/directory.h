#pragma once

// Every account the server knows, with its stored lists.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server_limits.h"
#include "service/kept_messages.h"
#include "service/stored_lists.h"

namespace reposa::server {

// An account as its owner gives it: the name as written, and the password.
struct AccountEntry {
  std::string display;
  std::string password;
};

struct Account {
  std::string name;     // normalised
  std::string display;  // as first typed, or as the user formatted it
  // An Argon2id hash; none for an account an open server made on the fly.
  std::optional<std::string> passwordHash;
  StoredLists lists;
  // The stored lists as read from the database, made into `lists` when the
  // account is first looked up: a start with many accounts reads them only.
  std::optional<std::string> unparsedLists;
  std::int64_t lastSignOn = 0;  // seconds since the epoch; 0: never
  // Instant messages that came while it was not signed on.
  KeptBox kept;
};

class Directory {
 public:
  // No entries: an open server, where any screen name signs on with any
  // password. With entries only those names sign on.
  // The passwords are hashed here.
  explicit Directory(const Limits& limits, const std::vector<AccountEntry>& entries = {});
  // Accounts read from a store; open when none of them has a password.
  Directory(const Limits& limits, std::vector<Account> accounts);

  bool open() const { return open_; }
  // The account a sign-on names, made on first use when the server is open;
  // nullptr for a name that cannot sign on.
  Account* Lookup(std::string_view typedName);
  Account* Find(std::string_view normalised);
  std::size_t size() const { return accounts_.size(); }
  // Every account, in the order of their normalised names.
  const std::map<std::string, Account, std::less<>>& all() const { return accounts_; }

  // Changes made while the server runs. Register gives `display`'s account
  // (made when new, its lists kept when not) the password `hash` and that
  // display name, and makes
  // the directory registered; Remove forgets an account, and the directory
  // is open again once no account has a password, as it would be after a
  // restart. Both return whether the directory was open before.
  bool Register(std::string_view display, const std::string& hash);
  bool Remove(std::string_view normalised);
  // The messages kept for every account at start: their bytes together, and
  // the highest id (0: none).
  std::size_t keptBytes() const { return keptBytes_; }
  std::int64_t lastKeptId() const { return lastKeptId_; }

 private:
  Limits limits_;
  bool open_;
  std::map<std::string, Account, std::less<>> accounts_;
  std::size_t keptBytes_ = 0;
  std::int64_t lastKeptId_ = 0;
};

}  // namespace reposa::server
