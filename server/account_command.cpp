#include "account_command.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <stdexcept>

#include "service/names.h"
#include "service/password_hash.h"

namespace reposa::server {

namespace {

void MustWrite(AccountStore& store, const auto& body) {
  if (!store.Write(body))
    throw std::runtime_error("cannot write " + store.path() + ": " + store.lastError());
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

std::string AddAccount(AccountStore& store, const std::string& name, const std::string& password) {
  if (!IsValidScreenName(name)) throw std::runtime_error("not a valid screen name");
  if (!IsValidPassword(password))
    throw std::runtime_error("not a valid password (1 to " + std::to_string(kMaxPassword) +
                             " bytes, no control characters)");
  StoredAccount row{NormalizeName(name), std::string(TrimSpaces(name)), HashPassword(password), ""};
  const std::optional<StoredAccount> existing = store.Load(row.name);
  if (existing) row.lists = existing->lists;
  MustWrite(store, [&] { store.Put(row); });
  return (existing && existing->passwordHash ? "new password for " : "registered ") + row.display +
         " in " + store.path();
}

std::string RemoveAccount(AccountStore& store, const std::string& name) {
  bool removed = false;
  MustWrite(store, [&] { removed = store.Remove(NormalizeName(name)); });
  if (!removed) throw std::runtime_error("no account " + name + " in " + store.path());
  return "removed " + name + " and its lists from " + store.path();
}

void ImportAccounts(AccountStore& store, const std::vector<AccountEntry>& entries) {
  std::vector<StoredAccount> rows;
  for (const AccountEntry& e : entries) {
    const std::string name = NormalizeName(e.display);
    std::optional<StoredAccount> existing = store.Load(name);
    // A registered account keeps its password: its owner may have changed it.
    if (existing && existing->passwordHash) continue;
    rows.push_back(StoredAccount{name, e.display, HashPassword(e.password),
                                 existing ? existing->lists : std::string()});
  }
  MustWrite(store, [&] {
    for (const StoredAccount& row : rows) store.Put(row);
  });
}

}  // namespace reposa::server
