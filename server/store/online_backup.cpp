#include "store/online_backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace reposa::server {

OnlineBackup::OnlineBackup(sqlite3* source, std::string file, int pagesPerStep)
    : file_(std::move(file)), part_(file_ + ".part"), pagesPerStep_(pagesPerStep) {
  struct stat st {};
  if (::lstat(file_.c_str(), &st) == 0)
    throw StoreError(file_ + " exists; a backup never replaces a file");
  // Made here first, so the copy is private from its first byte.
  fd_ = ::open(part_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0)
    throw StoreError("cannot create " + part_ + ": " + std::strerror(errno) +
                     (errno == EEXIST ? " (left by a backup that stopped? remove it)" : ""));
  // No journal and no flush per step: a copy that stops halfway is removed
  // anyway, and the one flush at the end is made short by the writes each
  // step starts (see Step).
  if (sqlite3_open_v2(part_.c_str(), &dest_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) == SQLITE_OK &&
      sqlite3_exec(dest_, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF", nullptr, nullptr,
                   nullptr) == SQLITE_OK)
    backup_ = sqlite3_backup_init(dest_, "main", source, "main");
  if (!backup_) {
    const std::string why = dest_ ? sqlite3_errmsg(dest_) : "out of memory";
    Abandon();
    throw StoreError("cannot back up to " + file_ + ": " + why);
  }
}

OnlineBackup::~OnlineBackup() {
  if (!done_) Abandon();
}

void OnlineBackup::Abandon() {
  if (flusher_.joinable()) flusher_.join();
  if (backup_) sqlite3_backup_finish(backup_);
  backup_ = nullptr;
  sqlite3_close(dest_);
  dest_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ::unlink(part_.c_str());
}

bool OnlineBackup::Step() {
  if (done_) return true;
  if (flusher_.joinable()) return Finish();
  const int rc = sqlite3_backup_step(backup_, pagesPerStep_);
  // The kernel starts writing this step's pages now, without waiting, so
  // little is left for the flush at the end.
  ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
  if (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED) return false;
  if (rc != SQLITE_DONE) {
    const std::string why = sqlite3_errstr(rc);
    Abandon();
    throw StoreError("backup to " + file_ + " failed: " + why);
  }
  sqlite3_backup_finish(backup_);
  backup_ = nullptr;
  const int closed = sqlite3_close(dest_);
  dest_ = nullptr;
  if (closed != SQLITE_OK) {
    Abandon();
    throw StoreError("cannot finish the backup " + file_ + ": " + sqlite3_errstr(closed));
  }
  flusher_ = std::thread([this] {
    if (::fdatasync(fd_) != 0 ||
        ::renameat2(AT_FDCWD, part_.c_str(), AT_FDCWD, file_.c_str(), RENAME_NOREPLACE) != 0)
      flushError_ = errno;
    flushed_ = true;
  });
  return false;
}

// The flush's verdict, once it has one.
bool OnlineBackup::Finish() {
  if (!flushed_) return false;
  flusher_.join();
  if (flushError_ != 0) {
    Abandon();
    throw StoreError("cannot finish the backup " + file_ + ": " + std::strerror(flushError_));
  }
  ::close(fd_);
  fd_ = -1;
  done_ = true;
  return true;
}

}  // namespace reposa::server
