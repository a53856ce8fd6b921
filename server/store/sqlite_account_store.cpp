#include "store/sqlite_account_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "store/online_backup.h"

namespace reposa::server {

namespace {

// Schema steps: entry N takes a file from version N to N + 1.
const char* const kMigrations[] = {
    "CREATE TABLE accounts("
    "  name TEXT PRIMARY KEY NOT NULL,"
    "  display TEXT NOT NULL,"
    "  password_hash TEXT,"
    "  lists TEXT NOT NULL DEFAULT ''"
    ") WITHOUT ROWID;",
    // 1 -> 2: instant messages kept for accounts that are not signed on.
    "CREATE TABLE kept_messages("
    "  id INTEGER PRIMARY KEY,"
    "  recipient TEXT NOT NULL,"
    "  sender TEXT NOT NULL,"
    "  sender_display TEXT NOT NULL,"
    "  user_class TEXT NOT NULL,"
    "  message TEXT NOT NULL,"
    "  sent_at INTEGER NOT NULL"
    ");"
    "CREATE INDEX kept_messages_by_recipient ON kept_messages(recipient, id);",
    // 2 -> 3: when each account last signed on (seconds since the epoch).
    "ALTER TABLE accounts ADD COLUMN last_signon INTEGER;",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

bool InMemory(const std::string& path) {
  return path == ":memory:";
}

// Creates each missing folder above `path` with mode 0700.
void MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
      throw StoreRefused("cannot create the folder " + folder +
                         " for the database: " + std::strerror(errno));
  }
}

// The file must be empty or start with SQLite's header: anything else is
// refused before SQLite gets a chance to write to it.
void CheckHeader(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  char header[16] = {};
  in.read(header, sizeof header);
  if (in.gcount() == 0) return;
  if (in.gcount() < 16 || std::memcmp(header, "SQLite format 3\0", 16) != 0)
    throw StoreRefused(path + " is not a Reposa database; it was left untouched");
}

}  // namespace

std::string DefaultDatabasePath() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
    return std::string(data) + "/reposa/server.db";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/share/reposa/server.db";
}

SqliteAccountStore::SqliteAccountStore(const std::string& path, const Limits& limits)
    : path_(path), backupStepPages_(static_cast<int>(limits.backupStepPages)) {
  if (!InMemory(path)) {
    MakeFolders(path);
    CheckHeader(path);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
      throw StoreRefused("cannot open the database " + path + ": " + std::strerror(errno));
    ::close(fd);
  }
  try {
    db_ = std::make_unique<Database>(path, true);
    // Another process (an "account add") may hold the file for a moment;
    // waiting longer would stall the loop.
    sqlite3_busy_timeout(db_->handle(), static_cast<int>(limits.storeBusyWait.count()));
    Validate();
    if (!InMemory(path)) {
      Statement wal(db_->handle(), "PRAGMA journal_mode = WAL");
      if (!wal.Step() || wal.Text(0) != "wal")
        throw StoreRefused("cannot use write-ahead logging on " + path);
    }
    // In write-ahead mode a commit is on disk for every process crash; a
    // power cut may still lose the last moments.
    db_->Exec("PRAGMA synchronous = NORMAL");
    saveLists_ = std::make_unique<Statement>(
        db_->handle(),
        "INSERT INTO accounts(name, display, lists) VALUES(?1, ?2, ?3) "
        "ON CONFLICT(name) DO UPDATE SET display = excluded.display, lists = excluded.lists");
    put_ = std::make_unique<Statement>(
        db_->handle(),
        "INSERT OR REPLACE INTO accounts(name, display, password_hash, lists, last_signon) "
        "VALUES(?1, ?2, ?3, ?4, nullif(?5, 0))");
    signOn_ = std::make_unique<Statement>(
        db_->handle(),
        "INSERT INTO accounts(name, display, last_signon) VALUES(?1, ?2, ?3) "
        "ON CONFLICT(name) DO UPDATE SET last_signon = excluded.last_signon");
    remove_ = std::make_unique<Statement>(db_->handle(), "DELETE FROM accounts WHERE name = ?1");
    kept_ = std::make_unique<KeptTable>(db_->handle());
  } catch (const DatabaseError& e) {
    if (e.code == SQLITE_NOTADB)
      throw StoreRefused(path + " is not a Reposa database; it was left untouched");
    throw StoreRefused("cannot use the database " + path + ": " + e.what());
  }
}

SqliteAccountStore::~SqliteAccountStore() = default;

void SqliteAccountStore::Validate() {
  const std::int64_t app = db_->QueryInt("PRAGMA application_id");
  const std::int64_t version = db_->QueryInt("PRAGMA user_version");
  const std::int64_t objects = db_->QueryInt("SELECT count(*) FROM sqlite_master");
  const bool fresh = app == 0 && version == 0 && objects == 0;
  if (app != kApplicationId && !fresh)
    throw StoreRefused(path_ + " is not a Reposa database; it was left untouched");
  if (version > kSchemaVersion)
    throw StoreRefused(path_ + " is from a newer Reposa (schema " + std::to_string(version) +
                       ", this one knows " + std::to_string(kSchemaVersion) +
                       "); it was left untouched");
  if (version < kSchemaVersion) Migrate(version);
}

void SqliteAccountStore::Migrate(std::int64_t from) {
  db_->Exec("BEGIN IMMEDIATE");
  try {
    for (std::int64_t v = from; v < kSchemaVersion; ++v)
      db_->Exec(kMigrations[static_cast<std::size_t>(v)]);
    db_->Exec("PRAGMA application_id = " + std::to_string(kApplicationId));
    db_->Exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
    db_->Exec("COMMIT");
  } catch (...) {
    db_->Exec("ROLLBACK");
    throw;
  }
}

namespace {

constexpr std::string_view kSelectAccounts =
    "SELECT name, display, password_hash, lists, coalesce(last_signon, 0) FROM accounts";

StoredAccount Row(const Statement& s) {
  return StoredAccount{s.Text(0), s.Text(1), s.OptionalText(2), s.Text(3), s.Int(4)};
}

}  // namespace

std::vector<StoredAccount> SqliteAccountStore::LoadAll() {
  std::vector<StoredAccount> all;
  Statement s(db_->handle(), kSelectAccounts);
  while (s.Step()) all.push_back(Row(s));
  kept_->LoadInto(all);
  return all;
}

std::optional<StoredAccount> SqliteAccountStore::Load(std::string_view name) {
  Statement s(db_->handle(), std::string(kSelectAccounts) + " WHERE name = ?1");
  s.Bind(1, name);
  if (!s.Step()) return std::nullopt;
  return Row(s);
}

void SqliteAccountStore::Begin() {
  db_->Exec("BEGIN IMMEDIATE");
}

bool SqliteAccountStore::Commit() {
  try {
    db_->Exec("COMMIT");
    return true;
  } catch (const DatabaseError& e) {
    Fail(e);
    return false;
  }
}

void SqliteAccountStore::Rollback() {
  if (!sqlite3_get_autocommit(db_->handle())) sqlite3_exec(db_->handle(), "ROLLBACK", 0, 0, 0);
}

void SqliteAccountStore::Fail(const DatabaseError& e) {
  lastError_ = e.what();
  Rollback();
}

void SqliteAccountStore::SaveLists(const StoredAccount& a) {
  saveLists_->Bind(1, a.name).Bind(2, a.display).Bind(3, a.lists).Run();
}

void SqliteAccountStore::Put(const StoredAccount& a) {
  put_->Bind(1, a.name).Bind(2, a.display);
  if (a.passwordHash) {
    put_->Bind(3, *a.passwordHash);
  } else {
    put_->BindNull(3);
  }
  put_->Bind(4, a.lists).Bind(5, a.lastSignOn).Run();
}

void SqliteAccountStore::SaveSignOn(const StoredAccount& a) {
  signOn_->Bind(1, a.name).Bind(2, a.display).Bind(3, a.lastSignOn).Run();
}

std::unique_ptr<AccountStore::Backup> SqliteAccountStore::StartBackup(const std::string& file) {
  return std::make_unique<OnlineBackup>(db_->handle(), file, backupStepPages_);
}

bool SqliteAccountStore::Remove(std::string_view name) {
  remove_->Bind(1, name).Run();
  const bool removed = sqlite3_changes(db_->handle()) > 0;
  kept_->ForgetAll(name);
  return removed;
}

bool SqliteAccountStore::Apply(std::span<const StoredChange> changes) {
  return Write([&] {
    for (const StoredChange& c : changes) {
      switch (c.kind) {
        case StoredChange::Kind::Lists:
          SaveLists(c.row);
          break;
        case StoredChange::Kind::Whole:
          Put(c.row);
          break;
        case StoredChange::Kind::Remove:
          Remove(c.row.name);
          break;
        case StoredChange::Kind::SignOn:
          SaveSignOn(c.row);
          break;
        case StoredChange::Kind::Keep:
          kept_->Keep(c.row.name, c.message);
          break;
        case StoredChange::Kind::Forget:
          kept_->Forget(c.row.name, c.message.id);
          break;
      }
    }
  });
}

}  // namespace reposa::server
