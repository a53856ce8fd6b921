#pragma once

// A thin owner of one SQLite connection and its prepared statements: just
// enough to run the account store's few queries without leaking handles.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "store/account_store.h"

namespace reposa::server {

// A failed SQLite call; `code` is its primary result code (SQLITE_FULL, ...).
class DatabaseError : public StoreError {
 public:
  DatabaseError(int code, const std::string& what) : StoreError(what), code(code) {}
  int code;
};

class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::string_view text);
  Statement& Bind(int index, std::int64_t value);
  Statement& BindNull(int index);
  // True while a row is there to read; throws DatabaseError on failure.
  bool Step();
  // Runs a statement that returns no rows, then makes it ready to run again.
  void Run();
  void Reset();

  std::string Text(int column) const;
  std::optional<std::string> OptionalText(int column) const;
  std::int64_t Int(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class Database {
 public:
  // Opens (creating when `create`) the file; ":memory:" is a private,
  // forgetful database. Throws DatabaseError.
  Database(const std::string& path, bool create);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void Exec(const std::string& sql);
  std::int64_t QueryInt(const std::string& sql);
  sqlite3* handle() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// Throws DatabaseError for a result code that is not `ok` (nor a row/done).
void Check(sqlite3* db, int rc);

}  // namespace reposa::server
