#include "store/sqlite_account_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "service/names.h"

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
    // Step 2: instant messages kept for accounts that are not signed on.
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
    // Step 3: when each account last signed on (seconds since the epoch).
    "ALTER TABLE accounts ADD COLUMN last_signon INTEGER;",
    // Step 4: the lists as rows, one per item, so a change writes its row alone.
    // `grp` is a buddy's group (a group's own name for 'g'), `key` the
    // normalised name of a buddy or a listed name, `seq` the order. Text
    // lists still in `accounts.lists` are turned into rows at open.
    "CREATE TABLE list_rows("
    "  account TEXT NOT NULL,"
    "  kind TEXT NOT NULL,"
    "  grp TEXT NOT NULL,"
    "  key TEXT NOT NULL,"
    "  text TEXT NOT NULL,"
    "  alias TEXT NOT NULL DEFAULT '',"
    "  seq INTEGER NOT NULL,"
    "  PRIMARY KEY(account, kind, grp, key)"
    ") WITHOUT ROWID;",
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
    : path_(path), limits_(limits), backupStepPages_(static_cast<int>(limits.backupStepPages)) {
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
    Prepare();
    kept_ = std::make_unique<KeptTable>(db_->handle());
    ConvertTextLists();
  } catch (const DatabaseError& e) {
    if (e.code == SQLITE_NOTADB)
      throw StoreRefused(path + " is not a Reposa database; it was left untouched");
    throw StoreRefused("cannot use the database " + path + ": " + e.what());
  }
}

SqliteAccountStore::~SqliteAccountStore() = default;

void SqliteAccountStore::Prepare() {
  auto prepare = [this](std::unique_ptr<Statement>& s, const char* sql) {
    s = std::make_unique<Statement>(db_->handle(), sql);
  };
  prepare(saveLists_,
          "INSERT INTO accounts(name, display, lists) VALUES(?1, ?2, '') "
          "ON CONFLICT(name) DO UPDATE SET display = excluded.display, lists = ''");
  prepare(put_,
          "INSERT OR REPLACE INTO accounts(name, display, password_hash, lists, last_signon) "
          "VALUES(?1, ?2, ?3, '', nullif(?4, 0))");
  prepare(signOn_,
          "INSERT INTO accounts(name, display, lists, last_signon) VALUES(?1, ?2, '', ?3) "
          "ON CONFLICT(name) DO UPDATE SET last_signon = excluded.last_signon");
  prepare(remove_, "DELETE FROM accounts WHERE name = ?1");
  // Each of these writes nothing when there is nothing to change.
  prepare(ensureRow_,
          "INSERT INTO accounts(name, display, lists) VALUES(?1, ?2, '') "
          "ON CONFLICT(name) DO NOTHING");
  prepare(setDisplay_, "UPDATE accounts SET display = ?2 WHERE name = ?1 AND display IS NOT ?2");
  prepare(setHash_, "UPDATE accounts SET password_hash = ?2 WHERE name = ?1");
  prepare(addRow_,
          "INSERT OR IGNORE INTO list_rows(account, kind, grp, key, text, alias, seq) "
          "VALUES(?1, ?2, ?3, ?4, ?5, ?6, "
          "(SELECT coalesce(max(seq), 0) + 1 FROM list_rows WHERE account = ?1))");
  prepare(addRowAt_,
          "INSERT OR IGNORE INTO list_rows(account, kind, grp, key, text, alias, seq) "
          "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  prepare(removeRow_,
          "DELETE FROM list_rows WHERE account = ?1 AND kind = ?2 AND grp = ?3 AND key = ?4");
  prepare(removeGroup_,
          "DELETE FROM list_rows WHERE account = ?1 AND grp = ?2 AND kind IN ('g', 'b')");
  prepare(removeRows_, "DELETE FROM list_rows WHERE account = ?1");
}

void SqliteAccountStore::ConvertTextLists() {
  std::vector<std::pair<std::string, std::string>> found;
  {
    Statement s(db_->handle(), "SELECT name, lists FROM accounts WHERE lists <> ''");
    while (s.Step()) found.emplace_back(s.Text(0), s.Text(1));
  }
  if (found.empty()) return;
  Statement clear(db_->handle(), "UPDATE accounts SET lists = '' WHERE name = ?1");
  if (!Write([&] {
        for (const auto& [name, text] : found) {
          ReplaceRows(name, text);
          clear.Bind(1, name).Run();
        }
      }))
    throw StoreRefused("cannot bring the lists in " + path_ + " forward: " + lastError_);
}

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

// Names, hashes and sign-on times only: the lists are read when an account
// first signs on.
constexpr std::string_view kSelectAccounts =
    "SELECT name, display, password_hash, coalesce(last_signon, 0) FROM accounts";

StoredAccount Row(const Statement& s) {
  return StoredAccount{s.Text(0), s.Text(1), s.OptionalText(2), {}, s.Int(3)};
}

}  // namespace

std::vector<StoredAccount> SqliteAccountStore::LoadAll() {
  std::vector<StoredAccount> all;
  Statement s(db_->handle(), kSelectAccounts);
  while (s.Step()) {
    StoredAccount row = Row(s);
    row.listsRead = false;
    all.push_back(std::move(row));
  }
  kept_->LoadInto(all);
  return all;
}

std::optional<StoredAccount> SqliteAccountStore::Load(std::string_view name) {
  Statement s(db_->handle(), std::string(kSelectAccounts) + " WHERE name = ?1");
  s.Bind(1, name);
  if (!s.Step()) return std::nullopt;
  StoredAccount row = Row(s);
  row.lists = ListsText(row.name);
  return row;
}

std::string SqliteAccountStore::ListsText(std::string_view name) {
  Statement s(db_->handle(),
              "SELECT kind, grp, text, alias FROM list_rows WHERE account = ?1 ORDER BY seq");
  s.Bind(1, name);
  std::string mode = "1";
  std::vector<std::string> groups;
  std::map<std::string, std::string> buddies;  // group -> its "b:" lines
  std::string named[2];                        // "p:" and "d:" lines
  bool any = false;
  while (s.Step()) {
    any = true;
    const std::string kind = s.Text(0), group = s.Text(1), text = s.Text(2), alias = s.Text(3);
    if (kind == "m") mode = text;
    if (kind == "g") groups.push_back(group);
    if (kind == "b") buddies[group] += "b:" + text + (alias.empty() ? "" : ":" + alias) + "\n";
    if (kind == "p" || kind == "d") named[kind == "d"] += kind + ":" + text + "\n";
  }
  if (!any) return {};
  std::string out = "m:" + mode + "\n";
  for (const std::string& g : groups) out += "g:" + g + "\n" + buddies[g];
  return out + named[0] + named[1];
}

void SqliteAccountStore::AddRow(const std::string& name, char kind, std::string_view group,
                                std::string_view key, std::string_view text, std::string_view alias,
                                std::int64_t seq) {
  Statement& s = seq ? *addRowAt_ : *addRow_;
  s.Bind(1, name).Bind(2, std::string_view(&kind, 1)).Bind(3, group).Bind(4, key).Bind(5, text);
  s.Bind(6, alias);
  if (seq) s.Bind(7, seq);
  s.Run();
}

void SqliteAccountStore::ReplaceRows(const std::string& name, std::string_view text) {
  removeRows_->Bind(1, name).Run();
  if (text.empty()) return;
  const StoredLists lists = ParseConfigText(text, limits_);
  std::int64_t seq = 0;
  AddRow(name, 'm', "", "", std::to_string(lists.privacyMode), "", ++seq);
  for (const Group& g : lists.groups) {
    AddRow(name, 'g', g.name, "", g.name, "", ++seq);
    for (std::size_t i = 0; i < g.buddies.size(); ++i) {
      auto alias = g.aliases.find(g.keys[i]);
      AddRow(name, 'b', g.name, g.keys[i], g.buddies[i],
             alias == g.aliases.end() ? std::string_view() : alias->second, ++seq);
    }
  }
  for (const std::string& p : lists.permitted) AddRow(name, 'p', "", p, p, "", ++seq);
  for (const std::string& d : lists.blocked) AddRow(name, 'd', "", d, d, "", ++seq);
}

void SqliteAccountStore::ApplyEdit(const std::string& name, const ListEdit& e) {
  const std::string_view kind(&e.kind, 1);
  if (e.kind == 'g' && !e.add) {
    removeGroup_->Bind(1, name).Bind(2, e.group).Run();
    return;
  }
  // Where the row is found: a buddy by its group and normalised name, a
  // group by its name, a listed name by itself, the mode alone.
  const std::string group = e.kind == 'b' || e.kind == 'g' ? e.group : std::string();
  const std::string key = e.kind == 'b'                    ? NormalizeName(e.name)
                          : e.kind == 'p' || e.kind == 'd' ? e.name
                                                           : std::string();
  if (!e.add || e.kind == 'm')
    removeRow_->Bind(1, name).Bind(2, kind).Bind(3, group).Bind(4, key).Run();
  if (e.add) AddRow(name, e.kind, group, key, e.name, e.alias);
}

void SqliteAccountStore::Edit(const StoredAccount& a, std::span<const ListEdit> edits,
                              bool password) {
  ensureRow_->Bind(1, a.name).Bind(2, a.display).Run();
  setDisplay_->Bind(1, a.name).Bind(2, a.display).Run();
  if (password) {
    setHash_->Bind(1, a.name);
    if (a.passwordHash) {
      setHash_->Bind(2, *a.passwordHash);
    } else {
      setHash_->BindNull(2);
    }
    setHash_->Run();
  }
  for (const ListEdit& e : edits) ApplyEdit(a.name, e);
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
  saveLists_->Bind(1, a.name).Bind(2, a.display).Run();
  ReplaceRows(a.name, a.lists);
}

void SqliteAccountStore::Put(const StoredAccount& a) {
  put_->Bind(1, a.name).Bind(2, a.display);
  if (a.passwordHash) {
    put_->Bind(3, *a.passwordHash);
  } else {
    put_->BindNull(3);
  }
  put_->Bind(4, a.lastSignOn).Run();
  ReplaceRows(a.name, a.lists);
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
  removeRows_->Bind(1, name).Run();
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
        case StoredChange::Kind::Edits:
          Edit(c.row, c.edits, c.password);
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
