#pragma once

// A consistent copy of a live SQLite database in a new file, made with
// SQLite's online backup a few pages a step, so the loop that owns the
// database serves between steps. Changes made meanwhile through the same
// connection reach the copy too. The copy is written beside its name
// (FILE.part) and renamed into place only when whole, so a backup that
// stops halfway leaves nothing that looks like one. The flush of the whole
// copy and the rename run on a thread of their own, as a flush can take
// longer than the loop may stall.

#include <sqlite3.h>

#include <atomic>
#include <string>
#include <thread>

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
  bool Flushing() const override { return flusher_.joinable(); }

 private:
  void Abandon();
  bool Finish();

  std::string file_;
  std::string part_;
  int pagesPerStep_;
  int fd_ = -1;  // the copy, for starting its writes and the flush at the end
  sqlite3* dest_ = nullptr;
  sqlite3_backup* backup_ = nullptr;
  bool done_ = false;
  std::thread flusher_;  // the flush and the rename, once SQLite is done
  std::atomic<bool> flushed_ = false;
  int flushError_ = 0;  // errno of the flush or the rename; read once flushed_
};

}  // namespace reposa::server
