#pragma once

// Between the service's accounts and the rows a store keeps of them.

#include <optional>
#include <vector>

#include "service/directory.h"
#include "store/account_store.h"

namespace reposa::server {

// The accounts a directory starts with, with their kept messages; each one's
// lists stay in the store (or text) until the account is first looked up, so
// a start with many accounts reads only their names.
std::vector<Account> ToAccounts(std::vector<StoredAccount> rows);
// One account as the store holds it, its lists read.
Account ToAccount(const StoredAccount& row, const Limits& limits);
StoredAccount ToRow(const Account& account);
KeptMessage ToKept(StoredMessage message);
StoredMessage ToStored(const KeptMessage& message);
// Back to what the store holds: `row`, or empty lists when the account was
// never stored.
void Restore(Account& account, const std::optional<StoredAccount>& row, const Limits& limits);

}  // namespace reposa::server
