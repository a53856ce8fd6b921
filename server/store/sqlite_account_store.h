#pragma once

// The accounts in one SQLite file: one row per account with its display
// name and its password hash, one row per item of its lists (privacy mode,
// group, buddy, permitted or blocked name), so a change writes what changed
// and nothing else, and a table of the messages kept for them. The schema
// carries its version; an older file is brought forward at open, in one
// transaction, and a file that is not ours, or is newer than this program,
// is refused and left untouched.

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

inline constexpr std::int64_t kSchemaVersion = 4;
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
  // Display (a new row when there is none), the password hash when
  // `password`, and the list rows the edits add and remove.
  void Edit(const StoredAccount& account, std::span<const ListEdit> edits, bool password);
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
  void Prepare();
  // Lists kept as text by an older version become rows.
  void ConvertTextLists();
  void Fail(const DatabaseError& e);
  // The account's list rows replaced by those of `text`.
  void ReplaceRows(const std::string& name, std::string_view text);
  void ApplyEdit(const std::string& name, const ListEdit& edit);
  // A row after the account's last; `seq` 0: its place found from those
  // stored.
  void AddRow(const std::string& name, char kind, std::string_view group, std::string_view key,
              std::string_view text, std::string_view alias = {}, std::int64_t seq = 0);
  // The lists as configuration lines, "m:" to "d:"; empty when it has none.
  std::string ListsText(std::string_view name);

  std::string path_;
  Limits limits_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<Statement> saveLists_;
  std::unique_ptr<Statement> put_;
  std::unique_ptr<Statement> remove_;
  std::unique_ptr<Statement> addRow_;
  std::unique_ptr<Statement> addRowAt_;
  std::unique_ptr<Statement> removeRow_;
  std::unique_ptr<Statement> removeGroup_;
  std::unique_ptr<Statement> removeRows_;
  std::unique_ptr<Statement> ensureRow_;
  std::unique_ptr<Statement> setDisplay_;
  std::unique_ptr<Statement> setHash_;
  std::unique_ptr<Statement> signOn_;
  std::unique_ptr<KeptTable> kept_;
  std::string lastError_;
  int backupStepPages_;
};

// Where the server keeps its database when not told: $XDG_DATA_HOME/reposa/
// server.db, else ~/.local/share/reposa/server.db.
std::string DefaultDatabasePath();

}  // namespace reposa::server
