#pragma once

// What "reposa-server account add|remove NAME" and "--accounts FILE" do to
// the store. One of the program's own files, beside main.cpp.

#include <string>
#include <vector>

#include "server_limits.h"
#include "store/account_store.h"
#include "store/accounts.h"

namespace reposa::server {

// Registers (or gives a new password to) `name`; keeps its lists. Returns a
// line for the user; throws std::runtime_error when it cannot.
std::string AddAccount(AccountStore& store, const std::string& name, const std::string& password,
                       const Limits& limits);
std::string RemoveAccount(AccountStore& store, const std::string& name);
// The same with the password already hashed; `mustExist`: only a new
// password for a registered account.
std::string RegisterAccount(AccountStore& store, const std::string& name, const std::string& hash,
                            bool mustExist, const Limits& limits);
// A consistent copy of the whole database in the new file `file`.
void BackUp(AccountStore& store, const std::string& file);
// Adds the file's accounts that the database does not have registered yet
// (a registered account keeps the password its owner may have changed). Throws std::runtime_error
// when the database refuses.
void ImportAccounts(AccountStore& store, const std::vector<AccountEntry>& entries,
                    const Limits& limits);

// The password for "account add": asked twice on the terminal with echo off,
// or the first line of standard input when that is not a terminal.
std::string ReadNewPassword(const std::string& name);

}  // namespace reposa::server
