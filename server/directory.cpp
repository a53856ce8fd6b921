#include "directory.h"

#include "names.h"

namespace reposa::server {

Directory::Directory(const std::vector<AccountEntry>& entries) : open_(entries.empty()) {
  for (const AccountEntry& e : entries) {
    Account account;
    account.name = NormalizeName(e.display);
    account.display = e.display;
    account.password = e.password;
    accounts_.emplace(account.name, std::move(account));
  }
}

Account* Directory::Authenticate(std::string_view typedName, std::string_view password) {
  const std::string name = NormalizeName(typedName);
  auto it = accounts_.find(name);
  if (it == accounts_.end()) {
    if (!open_ || accounts_.size() >= kMaxOpenAccounts) return nullptr;
    Account account;
    account.name = name;
    account.display = std::string(TrimSpaces(typedName));
    it = accounts_.emplace(name, std::move(account)).first;
  }
  Account& account = it->second;
  if (account.password && *account.password != password) return nullptr;
  return &account;
}

Account* Directory::Find(std::string_view normalised) {
  auto it = accounts_.find(normalised);
  return it == accounts_.end() ? nullptr : &it->second;
}

}  // namespace reposa::server
