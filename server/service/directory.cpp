#include "service/directory.h"

#include <algorithm>
#include <utility>

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

bool Directory::Register(std::string_view display, const std::string& hash) {
  const std::string name = NormalizeName(display);
  auto it = accounts_.find(name);
  if (it == accounts_.end()) {
    Account account;
    account.name = name;
    it = accounts_.emplace(name, std::move(account)).first;
  }
  it->second.display = std::string(TrimSpaces(display));
  it->second.passwordHash = hash;
  return std::exchange(open_, false);
}

bool Directory::Remove(std::string_view normalised) {
  auto it = accounts_.find(normalised);
  if (it == accounts_.end()) return open_;
  accounts_.erase(it);
  const bool wasOpen = open_;
  open_ = true;
  for (const auto& [name, account] : accounts_)
    if (account.passwordHash) open_ = false;
  return wasOpen;
}

}  // namespace reposa::server
