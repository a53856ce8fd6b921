#include "service/directory.h"

#include <algorithm>

#include "service/names.h"
#include "service/password_hash.h"

namespace reposa::server {

Directory::Directory(const Limits& limits, const std::vector<AccountEntry>& entries)
    : limits_(limits), open_(entries.empty()) {
  for (const AccountEntry& e : entries) {
    Account account;
    account.name = NormalizeName(e.display);
    account.display = e.display;
    account.passwordHash = HashPassword(e.password, limits_);
    accounts_.emplace(account.name, std::move(account));
  }
}

Directory::Directory(const Limits& limits, std::vector<Account> accounts)
    : limits_(limits), open_(true) {
  for (Account& account : accounts) {
    if (account.passwordHash) open_ = false;
    keptBytes_ += account.kept.bytes();
    if (!account.kept.empty())
      lastKeptId_ = std::max(lastKeptId_, account.kept.messages().back().id);
    std::string key = account.name;
    accounts_.emplace(std::move(key), std::move(account));
  }
}

Account* Directory::Lookup(std::string_view typedName) {
  const std::string name = NormalizeName(typedName);
  auto it = accounts_.find(name);
  if (it == accounts_.end()) {
    if (!open_ || accounts_.size() >= limits_.maxOpenAccounts) return nullptr;
    Account account;
    account.name = name;
    account.display = std::string(TrimSpaces(typedName));
    it = accounts_.emplace(name, std::move(account)).first;
  }
  Account& account = it->second;
  // A registered server admits only accounts with a password.
  if (!open_ && !account.passwordHash) return nullptr;
  if (account.unparsedLists) {
    account.lists = ParseConfigText(*account.unparsedLists, limits_);
    account.unparsedLists.reset();
  }
  return &account;
}

Account* Directory::Find(std::string_view normalised) {
  auto it = accounts_.find(normalised);
  return it == accounts_.end() ? nullptr : &it->second;
}

}  // namespace reposa::server
