#include "account_command.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <stdexcept>

#include "service/names.h"
#include "service/password_hash.h"

namespace reposa::server {

namespace {

void MustApply(AccountStore& store, const std::vector<StoredChange>& changes) {
  if (!store.Apply(changes))
    throw std::runtime_error("cannot write " + store.where() + ": " + store.lastError());
}

std::string AskHidden(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  termios before{};
  const bool terminal = ::tcgetattr(STDIN_FILENO, &before) == 0;
  if (terminal) {
    termios quiet = before;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  std::getline(std::cin, line);
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    std::cerr << "\n";
  }
  return line;
}

}  // namespace

std::string ReadNewPassword(const std::string& name) {
  if (!::isatty(STDIN_FILENO)) {
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  const std::string first = AskHidden("Password for " + name + ": ");
  if (AskHidden("Again: ") != first) throw std::runtime_error("the passwords differ");
  return first;
}

std::string AddAccount(AccountStore& store, const std::string& name, const std::string& password,
                       const Limits& limits) {
  if (!IsValidScreenName(name, limits)) throw std::runtime_error("not a valid screen name");
  if (!IsValidPassword(password, limits))
    throw std::runtime_error("not a valid password (1 to " + std::to_string(limits.maxPassword) +
                             " bytes, no control characters)");
  return RegisterAccount(store, name, HashPassword(password, limits), false, limits);
}

std::string RegisterAccount(AccountStore& store, const std::string& name, const std::string& hash,
                            bool mustExist, const Limits& limits) {
  if (!IsValidScreenName(name, limits)) throw std::runtime_error("not a valid screen name");
  StoredAccount row{NormalizeName(name), std::string(TrimSpaces(name)), hash, ""};
  const std::optional<StoredAccount> existing = store.Load(row.name);
  const bool registered = existing && existing->passwordHash;
  if (mustExist && !registered)
    throw std::runtime_error("no registered account " + name + "; account add registers one");
  if (existing) {
    row.lists = existing->lists;
    row.lastSignOn = existing->lastSignOn;
    // A new password keeps the name as its owner formatted it.
    if (mustExist) row.display = existing->display;
  }
  MustApply(store, {{StoredChange::Kind::Whole, row}});
  return (registered ? "new password for " : "registered ") + row.display + " in " + store.where();
}

std::string RemoveAccount(AccountStore& store, const std::string& name) {
  const std::string key = NormalizeName(name);
  if (!store.Load(key)) throw std::runtime_error("no account " + name + " in " + store.where());
  MustApply(store, {{StoredChange::Kind::Remove, StoredAccount{key, {}, {}, {}}}});
  return "removed " + name + ", its lists and the messages kept for it from " + store.where();
}

void ImportAccounts(AccountStore& store, const std::vector<AccountEntry>& entries,
                    const Limits& limits) {
  std::vector<StoredChange> changes;
  for (const AccountEntry& e : entries) {
    const std::string name = NormalizeName(e.display);
    std::optional<StoredAccount> existing = store.Load(name);
    // A registered account keeps its password: its owner may have changed it.
    if (existing && existing->passwordHash) continue;
    changes.push_back(
        {StoredChange::Kind::Whole, StoredAccount{name, e.display, HashPassword(e.password, limits),
                                                  existing ? existing->lists : std::string()}});
  }
  MustApply(store, changes);
}

void BackUp(AccountStore& store, const std::string& file) {
  const std::unique_ptr<AccountStore::Backup> backup = store.StartBackup(file);
  while (!backup->Step()) {
  }
}

}  // namespace reposa::server
