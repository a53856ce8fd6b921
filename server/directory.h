#pragma once

// Every account the server knows, with its stored lists.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts.h"
#include "stored_lists.h"

namespace reposa::server {

struct Account {
  std::string name;     // normalised
  std::string display;  // as first typed, or as the user formatted it
  // None: any password signs on (an open server, until the user sets one).
  std::optional<std::string> password;
  StoredLists lists;
};

// Accounts made on the fly by an open server, at most.
inline constexpr std::size_t kMaxOpenAccounts = 100000;

class Directory {
 public:
  // No entries: an open server, where any screen name signs on with any
  // password. With entries only those names sign on.
  explicit Directory(const std::vector<AccountEntry>& entries = {});

  bool open() const { return open_; }
  // The account for a sign-on, made on first use when the server is open;
  // nullptr for an unknown name (closed server) or a wrong password.
  Account* Authenticate(std::string_view typedName, std::string_view password);
  Account* Find(std::string_view normalised);
  std::size_t size() const { return accounts_.size(); }

 private:
  bool open_;
  std::map<std::string, Account, std::less<>> accounts_;
};

}  // namespace reposa::server
