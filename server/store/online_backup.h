#pragma once

// A consistent copy of a live SQLite database in a new file, made with
// SQLite's online backup a few pages a step, so the loop that owns the
// database serves between steps. Changes made meanwhile through the same
// connection reach the copy too. The copy is written beside its name
// (FILE.part) and renamed into place only when whole, so a backup that
// stops halfway leaves nothing that looks like one.

#include <sqlite3.h>

#include <string>

#include "store/account_store.h"

namespace reposa::server {

class OnlineBackup final : public AccountStore::Backup {
 public:
  // Refuses (StoreError) a file that exists already: a backup never
  // replaces anything. `pagesPerStep` < 0: everything in one step.
  OnlineBackup(sqlite3* source, std::string file, int pagesPerStep);
  ~OnlineBackup() override;
  OnlineBackup(const OnlineBackup&) = delete;
  OnlineBackup& operator=(const OnlineBackup&) = delete;

  bool Step() override;

 private:
  void Abandon();

  std::string file_;
  std::string part_;
  int pagesPerStep_;
  int fd_ = -1;  // the copy, for starting its writes and the flush at the end
  sqlite3* dest_ = nullptr;
  sqlite3_backup* backup_ = nullptr;
  bool done_ = false;
};

}  // namespace reposa::server
