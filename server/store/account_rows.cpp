#include "store/account_rows.h"

#include "service/stored_lists.h"

namespace reposa::server {

std::vector<Account> ToAccounts(std::vector<StoredAccount> rows) {
  std::vector<Account> accounts;
  accounts.reserve(rows.size());
  for (StoredAccount& row : rows) {
    Account account;
    account.name = std::move(row.name);
    account.display = std::move(row.display);
    account.passwordHash = std::move(row.passwordHash);
    account.stored = true;
    account.listsInStore = !row.listsRead;
    if (!row.lists.empty()) account.unparsedLists = std::move(row.lists);
    account.lastSignOn = row.lastSignOn;
    for (StoredMessage& m : row.kept) account.kept.Add(ToKept(std::move(m)));
    accounts.push_back(std::move(account));
  }
  return accounts;
}

Account ToAccount(const StoredAccount& row, const Limits& limits) {
  Account account;
  account.name = row.name;
  account.display = row.display;
  account.passwordHash = row.passwordHash;
  account.stored = true;
  account.lists = ParseConfigText(row.lists, limits);
  account.lastSignOn = row.lastSignOn;
  return account;
}

KeptMessage ToKept(StoredMessage m) {
  return KeptMessage{m.id,
                     std::move(m.sender),
                     std::move(m.senderDisplay),
                     std::move(m.userClass),
                     std::move(m.text),
                     m.sentAt};
}

StoredMessage ToStored(const KeptMessage& m) {
  return StoredMessage{m.id, m.sender, m.senderDisplay, m.userClass, m.text, m.sentAt};
}

StoredAccount ToRow(const Account& account) {
  return StoredAccount{account.name, account.display, account.passwordHash,
                       account.unparsedLists ? *account.unparsedLists : account.lists.ConfigText(),
                       account.lastSignOn};
}

void Restore(Account& account, const std::optional<StoredAccount>& row, const Limits& limits) {
  if (!row) {
    account.lists = StoredLists{};
    return;
  }
  account.display = row->display;
  account.passwordHash = row->passwordHash;
  account.lists = ParseConfigText(row->lists, limits);
  account.unparsedLists.reset();
}

}  // namespace reposa::server
