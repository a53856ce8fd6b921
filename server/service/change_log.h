#pragma once

// Where the service reports that an account's stored part changed, so it is
// written out before the answers that acknowledge it leave.

namespace reposa::server {

struct Account;

class ChangeLog {
 public:
  virtual ~ChangeLog() = default;
  // `password`: the password hash changed too.
  virtual void Changed(Account& account, bool password = false) = 0;
};

}  // namespace reposa::server
