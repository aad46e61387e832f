// The embedded engine: one SQLite file, written ahead (WAL), waiting out other writers.
#include <sqlite3.h>

#include "sql.h"

namespace veldc::fleet {
namespace {

constexpr int kBusyWaitMs = 60000;

class SqliteConnection : public Connection {
 public:
  explicit SqliteConnection(const std::string &path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw StoreError("cannot open the store " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, kBusyWaitMs);
    Exec("PRAGMA journal_mode = WAL");
    Exec("PRAGMA foreign_keys = ON");
  }
  ~SqliteConnection() override { sqlite3_close(db_); }

  std::vector<Row> Query(const std::string &sql, const std::vector<Value> &params) override {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) Fail();
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> owned(statement, sqlite3_finalize);
    for (size_t i = 0; i < params.size(); ++i) {
      int at = static_cast<int>(i + 1);
      int rc = SQLITE_OK;
      if (auto *number = std::get_if<int64_t>(&params[i])) {
        rc = sqlite3_bind_int64(statement, at, *number);
      } else if (auto *text = std::get_if<std::string>(&params[i])) {
        rc = sqlite3_bind_text(statement, at, text->data(), static_cast<int>(text->size()),
                               SQLITE_TRANSIENT);
      } else {
        const std::string &bytes = std::get<Blob>(params[i]).bytes;
        rc = sqlite3_bind_blob(statement, at, bytes.data(), static_cast<int>(bytes.size()),
                               SQLITE_TRANSIENT);
      }
      if (rc != SQLITE_OK) Fail();
    }
    std::vector<Row> rows;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      Row row;
      for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        if (sqlite3_column_type(statement, c) == SQLITE_NULL) {
          row.emplace_back();
          continue;
        }
        const void *data = sqlite3_column_blob(statement, c);
        int size = sqlite3_column_bytes(statement, c);
        row.emplace_back(std::string(static_cast<const char *>(data), static_cast<size_t>(size)));
      }
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) Fail();
    return rows;
  }

  const char *BeginWrite() const override { return "BEGIN IMMEDIATE"; }
  const char *Now() const override { return "((julianday('now') - 2440587.5) * 86400.0)"; }
  // The whole file is locked for writing from BEGIN IMMEDIATE on; rows need no locks of their own.
  const char *SkipLocked() const override { return ""; }
  const char *Locked() const override { return ""; }
  const char *IdColumn() const override { return "INTEGER PRIMARY KEY"; }
  const char *BlobType() const override { return "BLOB"; }
  const char *SchemaLock() const override { return "SELECT 1"; }

 private:
  [[noreturn]] void Fail() { throw StoreError("store " + path_ + ": " + sqlite3_errmsg(db_)); }

  std::string path_;
  sqlite3 *db_ = nullptr;
};

}  // namespace

std::unique_ptr<Store> OpenSqlite(const std::string &path) {
  return MakeSqlStore(std::make_unique<SqliteConnection>(path));
}

}  // namespace veldc::fleet
