#pragma once

// Every account the server knows, with its stored lists. An open server
// keeps in memory only the names in use: one that stored nothing is
// forgotten when it signs off, and past the bound the least recently used
// idle ones go (a stored one is read again from the store when it comes
// back).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
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
  // The store holds the lists; they are read when the account is first
  // looked up.
  bool listsInStore = false;
  // The store holds a row of this account, or one is on its way.
  bool stored = false;
  // A change of it waits to be committed: it stays in memory until then.
  bool unsaved = false;
  bool signedOn = false;
  std::list<std::string>::iterator idle;  // its place among the idle, when not signed on
  std::int64_t lastSignOn = 0;            // seconds since the epoch; 0: never
  // Instant messages that came while it was not signed on.
  KeptBox kept;
};

class Directory {
 public:
  // The account `name` (normalised) as the store holds it, lists included;
  // nothing when the store has no such account. Throws when the store
  // cannot be read.
  using Loader = std::function<std::optional<Account>(std::string_view name)>;

  // No entries: an open server, where any screen name signs on with any
  // password. With entries only those names sign on.
  // The passwords are hashed here.
  explicit Directory(const Limits& limits, const std::vector<AccountEntry>& entries = {});
  // Accounts read from a store; open when none of them has a password.
  Directory(const Limits& limits, std::vector<Account> accounts);

  // Where lists left in the store, and accounts an open server forgot, are
  // read from.
  void UseLoader(Loader loader) { loader_ = std::move(loader); }
  bool open() const { return open_; }
  // The account a sign-on names, made on first use when the server is open;
  // nullptr for a name that cannot sign on (or whose lists cannot be read).
  Account* Lookup(std::string_view typedName);
  // The account, if it is in memory.
  Account* Find(std::string_view normalised);
  // Its session signed on, or off: an open server forgets a name that
  // stored nothing when it signs off, and keeps the others in the order
  // they went idle.
  void SignedOn(Account& account);
  void SignedOff(Account& account);
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
  using Accounts = std::map<std::string, Account, std::less<>>;
  // Makes room for one more name on an open server; false when none of the
  // idle ones may go.
  bool MakeRoom();
  Accounts::iterator Load(const std::string& name, std::string_view typedName);
  bool ReadLists(Account& account);
  void Forget(Accounts::iterator it);

  Limits limits_;
  bool open_;
  Accounts accounts_;
  std::list<std::string> idle_;  // names not signed on, the longest idle first
  Loader loader_;
  std::size_t keptBytes_ = 0;
  std::int64_t lastKeptId_ = 0;
};

}  // namespace reposa::server
