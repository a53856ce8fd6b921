#include "store/database.h"

namespace reposa::server {

void Check(sqlite3* db, int rc) {
  if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
  const char* detail = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  throw DatabaseError(rc & 0xff, detail ? detail : sqlite3_errstr(rc));
}

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
  Check(db_, sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr));
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement& Statement::Bind(int index, std::string_view text) {
  // An empty view may have no data at all, which SQLite would take for NULL.
  Check(db_, sqlite3_bind_text(stmt_, index, text.data() ? text.data() : "",
                               static_cast<int>(text.size()), SQLITE_TRANSIENT));
  return *this;
}

Statement& Statement::Bind(int index, std::int64_t value) {
  Check(db_, sqlite3_bind_int64(stmt_, index, value));
  return *this;
}

Statement& Statement::BindNull(int index) {
  Check(db_, sqlite3_bind_null(stmt_, index));
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(stmt_);
  Check(db_, rc);
  return false;
}

void Statement::Run() {
  while (Step()) {
  }
  Reset();
}

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size))
              : std::string();
}

std::optional<std::string> Statement::OptionalText(int column) const {
  if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
  return Text(column);
}

std::int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

Database::Database(const std::string& path, bool create) {
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw DatabaseError(rc & 0xff, why);
  }
  sqlite3_extended_result_codes(db_, 0);
}

Database::~Database() {
  sqlite3_close(db_);
}

void Database::Exec(const std::string& sql) {
  Check(db_, sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr));
}

std::int64_t Database::QueryInt(const std::string& sql) {
  Statement s(db_, sql);
  return s.Step() ? s.Int(0) : 0;
}

}  // namespace reposa::server
