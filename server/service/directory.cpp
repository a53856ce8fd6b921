#include "service/directory.h"

#include <algorithm>
#include <exception>
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
    account.stored = true;
    auto it = accounts_.emplace(account.name, std::move(account)).first;
    it->second.idle = idle_.insert(idle_.end(), it->first);
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
    auto [it, added] = accounts_.emplace(std::move(key), std::move(account));
    if (added) it->second.idle = idle_.insert(idle_.end(), it->first);
  }
}

void Directory::Forget(Accounts::iterator it) {
  if (!it->second.signedOn) idle_.erase(it->second.idle);
  accounts_.erase(it);
}

bool Directory::MakeRoom() {
  while (accounts_.size() >= limits_.maxOpenAccounts) {
    auto victim = idle_.end();
    for (auto i = idle_.begin(); i != idle_.end(); ++i) {
      const Account& a = accounts_.find(*i)->second;
      // A stored one goes only when it can be read back.
      if (!a.unsaved && (!a.stored || loader_)) {
        victim = i;
        break;
      }
    }
    if (victim == idle_.end()) return false;
    Forget(accounts_.find(*victim));
  }
  return true;
}

// A name not in memory: read from the store, or made on an open server.
Directory::Accounts::iterator Directory::Load(const std::string& name, std::string_view typedName) {
  std::optional<Account> loaded;
  if (loader_) loaded = loader_(name);
  if (!loaded && !open_) return accounts_.end();
  if (open_ && !MakeRoom()) return accounts_.end();
  if (!loaded) {
    loaded.emplace();
    loaded->name = name;
    loaded->display = std::string(TrimSpaces(typedName));
  } else {
    loaded->stored = true;
  }
  auto it = accounts_.emplace(name, std::move(*loaded)).first;
  it->second.idle = idle_.insert(idle_.end(), it->first);
  return it;
}

bool Directory::ReadLists(Account& account) {
  if (account.listsInStore) {
    if (!loader_) return false;
    std::optional<Account> stored = loader_(account.name);
    account.lists = stored ? std::move(stored->lists) : StoredLists{};
    account.listsInStore = false;
  }
  if (account.unparsedLists) {
    account.lists = ParseConfigText(*account.unparsedLists, limits_);
    account.unparsedLists.reset();
  }
  return true;
}

Account* Directory::Lookup(std::string_view typedName) {
  const std::string name = NormalizeName(typedName);
  try {
    auto it = accounts_.find(name);
    if (it == accounts_.end()) it = Load(name, typedName);
    if (it == accounts_.end()) return nullptr;
    Account& account = it->second;
    // A registered server admits only accounts with a password.
    if (!open_ && !account.passwordHash) return nullptr;
    return ReadLists(account) ? &account : nullptr;
  } catch (const std::exception&) {
    return nullptr;  // the store cannot be read now: not signed on rather than lose lists
  }
}

Account* Directory::Find(std::string_view normalised) {
  auto it = accounts_.find(normalised);
  return it == accounts_.end() ? nullptr : &it->second;
}

void Directory::SignedOn(Account& account) {
  if (account.signedOn) return;
  account.signedOn = true;
  idle_.erase(account.idle);
}

void Directory::SignedOff(Account& account) {
  if (!account.signedOn) return;
  account.signedOn = false;
  if (open_ && !account.stored && !account.unsaved) {
    const std::string name = account.name;  // not a reference into what goes
    accounts_.erase(name);
    return;
  }
  account.idle = idle_.insert(idle_.end(), account.name);
}

bool Directory::Register(std::string_view display, const std::string& hash) {
  const std::string name = NormalizeName(display);
  auto it = accounts_.find(name);
  if (it == accounts_.end()) {
    Account account;
    account.name = name;
    // An open server may have forgotten a name whose lists the store holds:
    // they are read when it is first looked up.
    account.listsInStore = loader_ != nullptr;
    it = accounts_.emplace(name, std::move(account)).first;
    it->second.idle = idle_.insert(idle_.end(), it->first);
  }
  it->second.display = std::string(TrimSpaces(display));
  it->second.passwordHash = hash;
  it->second.stored = true;  // the control socket wrote its row
  return std::exchange(open_, false);
}

bool Directory::Remove(std::string_view normalised) {
  auto it = accounts_.find(normalised);
  if (it == accounts_.end()) return open_;
  Forget(it);
  const bool wasOpen = open_;
  open_ = true;
  for (const auto& [name, account] : accounts_)
    if (account.passwordHash) open_ = false;
  return wasOpen;
}

}  // namespace reposa::server
