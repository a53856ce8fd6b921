#pragma once

// The accounts in one SQLite file: one row per account with its display
// name, its password hash and its stored lists, and a table of the messages
// kept for them. The schema carries its
// version; an older file is brought forward at open, in one transaction, and
// a file that is not ours, or is newer than this program, is refused and
// left untouched.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "server_limits.h"
#include "store/account_store.h"
#include "store/database.h"
#include "store/kept_table.h"

namespace reposa::server {

inline constexpr std::int64_t kSchemaVersion = 3;
// "RPSA": marks the file as ours.
inline constexpr std::int64_t kApplicationId = 0x52505341;

// The database cannot be used at all; the message names the file.
class StoreRefused : public StoreError {
 public:
  using StoreError::StoreError;
};

class SqliteAccountStore final : public AccountStore {
 public:
  // Opens or creates the file (":memory:": nothing is kept). A new file gets
  // mode 0600, a missing folder 0700. Throws StoreRefused.
  SqliteAccountStore(const std::string& path, const Limits& limits);
  ~SqliteAccountStore() override;

  const std::string& path() const { return path_; }
  const std::string& where() const override { return path_; }
  std::vector<StoredAccount> LoadAll() override;
  std::optional<StoredAccount> Load(std::string_view name) override;
  bool Apply(std::span<const StoredChange> changes) override;
  const std::string& lastError() const override { return lastError_; }
  // A copy made the limits' number of pages a step (see OnlineBackup).
  std::unique_ptr<Backup> StartBackup(const std::string& file) override;

  // Writes run inside Begin()..Commit(); a failed Commit() (or a write that
  // threw DatabaseError) leaves the database as it was before Begin().
  void Begin();
  // False when the transaction could not be made durable; it is rolled back
  // and the cause is in lastError().
  bool Commit();
  void Rollback();
  // Lists and display; the password hash stays as it is (none for a new row).
  void SaveLists(const StoredAccount& account);
  // The whole row, password hash included.
  void Put(const StoredAccount& account);
  // The row, its lists and its kept messages.
  bool Remove(std::string_view name);
  // The time of the last sign-on; a new row gets the display name too.
  void SaveSignOn(const StoredAccount& account);

  // Runs `body` in one transaction; false (rolled back, cause kept) when
  // any write fails.
  template <typename Body>
  bool Write(Body&& body) {
    try {
      Begin();
      body();
    } catch (const DatabaseError& e) {
      Fail(e);
      return false;
    }
    return Commit();
  }
  Database& database() { return *db_; }

 private:
  void Validate();
  void Migrate(std::int64_t from);
  void Fail(const DatabaseError& e);

  std::string path_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<Statement> saveLists_;
  std::unique_ptr<Statement> put_;
  std::unique_ptr<Statement> remove_;
  std::unique_ptr<Statement> signOn_;
  std::unique_ptr<KeptTable> kept_;
  std::string lastError_;
  int backupStepPages_;
};

// Where the server keeps its database when not told: $XDG_DATA_HOME/reposa/
// server.db, else ~/.local/share/reposa/server.db.
std::string DefaultDatabasePath();

}  // namespace reposa::server
