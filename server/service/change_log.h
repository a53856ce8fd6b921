#pragma once

// Where the service reports that an account's stored part changed, so it is
// written out before the answers that acknowledge it leave.

#include <cstdint>

#include "service/stored_lists.h"

namespace reposa::server {

struct Account;
struct KeptMessage;

class ChangeLog {
 public:
  virtual ~ChangeLog() = default;
  // The account's own row changed (its display name); `password`: its
  // password hash too.
  virtual void Changed(Account& account, bool password = false) = 0;
  // One row of its lists was added or removed: only that row is written.
  virtual void Edited(Account& account, ListEdit edit) = 0;
  // The account signed on (its lastSignOn is set): kept with the next
  // commit, acknowledging nothing.
  virtual void SignedOn(const Account& account) { (void)account; }
  // A message was kept for `account`.
  virtual void Kept(Account& account, const KeptMessage& message) = 0;
  // The account's kept messages up to id `through` were handed over.
  virtual void HandedOver(Account& account, std::int64_t through) = 0;
};

}  // namespace reposa::server
