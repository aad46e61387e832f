#include <chrono>
#include <ctime>
#include <functional>

#include "report.h"
#include "sql.h"

namespace veldc::fleet {
namespace {

constexpr int kSchemaVersion = 1;

// Each entry takes the schema one version further; {ID} and {BLOB} are the engine's words.
const char *const kMigrations[] = {
    R"(CREATE TABLE runs(id {ID}, started_at TEXT NOT NULL, ended_at TEXT, host TEXT NOT NULL,
         pid INTEGER NOT NULL, inventory TEXT NOT NULL, ok INTEGER);
       CREATE TABLE devices(name TEXT PRIMARY KEY, holder BIGINT, lease_until DOUBLE PRECISION,
         done_by BIGINT, done_at TEXT);
       CREATE TABLE batches(id {ID}, run BIGINT NOT NULL REFERENCES runs(id),
         device TEXT NOT NULL, terminal INTEGER NOT NULL, file TEXT NOT NULL,
         state TEXT NOT NULL CHECK (state IN ('stored', 'cleared')),
         record_count INTEGER NOT NULL, uploaded INTEGER NOT NULL, checksum INTEGER NOT NULL,
         stored_at TEXT NOT NULL, cleared_at TEXT);
       CREATE INDEX batches_by_file ON batches(device, terminal, file, state);
       CREATE TABLE records(batch BIGINT NOT NULL REFERENCES batches(id), seq INTEGER NOT NULL,
         text {BLOB} NOT NULL, collected_at TEXT NOT NULL, PRIMARY KEY(batch, seq));
       CREATE TABLE terminal_runs(run BIGINT NOT NULL REFERENCES runs(id), device TEXT NOT NULL,
         terminal INTEGER NOT NULL, at TEXT NOT NULL, ok INTEGER NOT NULL,
         records INTEGER NOT NULL, message TEXT NOT NULL, PRIMARY KEY(run, device, terminal)))",
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kSchemaVersion);

std::string Replace(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

int64_t Int(const std::optional<std::string> &cell) { return cell ? std::stoll(*cell) : 0; }

class SqlStore : public Store {
 public:
  explicit SqlStore(std::unique_ptr<Connection> db) : db_(std::move(db)) { Migrate(); }

  int64_t BeginRun(const std::string &host, int pid, const std::string &inventory) override {
    return Transaction([&] {
      return Int(
          db_->Query("INSERT INTO runs(started_at, host, pid, inventory) "
                     "VALUES(?1, ?2, ?3, ?4) RETURNING id",
                     {UtcNow(), host, int64_t{pid}, inventory})[0][0]);
    });
  }

  void EndRun(int64_t run, bool ok) override {
    Transaction([&] {
      db_->Exec("UPDATE runs SET ended_at = ?1, ok = ?2 WHERE id = ?3",
                {UtcNow(), int64_t{ok}, run});
      db_->Exec("UPDATE devices SET holder = NULL, lease_until = NULL WHERE holder = ?1", {run});
      return 0;
    });
  }

  Claim ClaimDevice(int64_t run, const std::string &device, int lease,
                    const std::string &since) override {
    return Transaction([&] {
      db_->Exec("INSERT INTO devices(name) VALUES(?1) ON CONFLICT DO NOTHING", {device});
      auto rows = db_->Query(std::string("SELECT holder, CASE WHEN lease_until > ") + db_->Now() +
                                 " THEN 1 ELSE 0 END, done_by, done_at FROM devices "
                                 "WHERE name = ?1" +
                                 db_->SkipLocked(),
                             {device});
      if (rows.empty()) return Claim::kHeld;  // another collector is claiming it right now
      const Row &row = rows[0];
      if (row[0] && Int(row[0]) != run && Int(row[1]) == 1) return Claim::kHeld;
      if (row[2] && Int(row[2]) != run && row[3] && *row[3] >= since) return Claim::kDoneByOther;
      db_->Exec(std::string("UPDATE devices SET holder = ?1, lease_until = ") + db_->Now() +
                    " + ?2 WHERE name = ?3",
                {run, int64_t{lease}, device});
      return Claim::kTaken;
    });
  }

  void RenewLeases(int64_t run, int lease) override {
    Transaction([&] {
      db_->Exec(
          std::string("UPDATE devices SET lease_until = ") + db_->Now() + " + ?1 WHERE holder = ?2",
          {int64_t{lease}, run});
      return 0;
    });
  }

  void ReleaseDevice(int64_t run, const std::string &device, bool done) override {
    Transaction([&] {
      if (done) {
        db_->Exec("UPDATE devices SET done_by = ?1, done_at = ?2 WHERE name = ?3 AND holder = ?1",
                  {run, UtcNow(), device});
      }
      db_->Exec(
          "UPDATE devices SET holder = NULL, lease_until = NULL "
          "WHERE name = ?1 AND holder = ?2",
          {device, run});
      return 0;
    });
  }

  Pending PendingRecords(const std::string &device, int terminal,
                         const std::string &file) override {
    return Transaction([&] {
      Pending pending;
      int64_t last = -1;
      for (const Row &row : db_->Query("SELECT b.id, r.text FROM batches b "
                                       "JOIN records r ON r.batch = b.id WHERE b.device = ?1 "
                                       "AND b.terminal = ?2 AND b.file = ?3 AND "
                                       "b.state = 'stored' ORDER BY b.id, r.seq",
                                       {device, int64_t{terminal}, file})) {
        if (Int(row[0]) != last) pending.batches.push_back(last = Int(row[0]));
        pending.records.push_back(row[1].value_or(""));
      }
      return pending;
    });
  }

  int64_t StoreBatch(int64_t run, const NewBatch &b) override {
    return Transaction([&] {
      auto holder = db_->Query(
          std::string("SELECT holder FROM devices WHERE name = ?1") + db_->Locked(), {b.device});
      if (holder.empty() || !holder[0][0] || Int(holder[0][0]) != run) {
        throw StoreError("this run no longer holds device " + b.device +
                         " (its lease expired and another run took it)");
      }
      if (b.clearPending) {
        for (int64_t id : b.pending) {
          db_->Exec("UPDATE batches SET state = 'cleared', cleared_at = ?1 WHERE id = ?2",
                    {b.collectedAt, id});
        }
      }
      if (b.records.empty()) return int64_t{0};
      int64_t id = Int(db_->Query(
          "INSERT INTO batches(run, device, terminal, file, state, "
          "record_count, uploaded, checksum, stored_at) "
          "VALUES(?1, ?2, ?3, ?4, 'stored', ?5, ?6, ?7, ?8) RETURNING id",
          {run, b.device, int64_t{b.terminal}, b.file, static_cast<int64_t>(b.records.size()),
           int64_t{b.uploaded}, int64_t{b.checksum}, b.collectedAt})[0][0]);
      for (size_t i = 0; i < b.records.size(); ++i) {
        db_->Exec("INSERT INTO records(batch, seq, text, collected_at) VALUES(?1, ?2, ?3, ?4)",
                  {id, static_cast<int64_t>(i + 1), Blob{b.records[i]}, b.collectedAt});
      }
      return id;
    });
  }

  void MarkCleared(const std::string &device, int terminal, const std::string &file) override {
    Transaction([&] {
      db_->Exec(
          "UPDATE batches SET state = 'cleared', cleared_at = ?1 WHERE device = ?2 AND "
          "terminal = ?3 AND file = ?4 AND state = 'stored'",
          {UtcNow(), device, int64_t{terminal}, file});
      return 0;
    });
  }

  void NoteTerminal(int64_t run, const std::string &device, int terminal, bool ok, int records,
                    const std::string &message) override {
    Transaction([&] {
      db_->Exec("DELETE FROM terminal_runs WHERE run = ?1 AND device = ?2 AND terminal = ?3",
                {run, device, int64_t{terminal}});
      db_->Exec(
          "INSERT INTO terminal_runs(run, device, terminal, at, ok, records, message) "
          "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
          {run, device, int64_t{terminal}, UtcNow(), int64_t{ok}, int64_t{records}, message});
      return 0;
    });
  }

  std::vector<RecordRow> Records(const RecordFilter &f) override {
    return Transaction([&] {
      std::vector<RecordRow> out;
      for (const Row &row : db_->Query(
               "SELECT b.device, b.terminal, b.file, r.batch, r.seq, r.collected_at, r.text "
               "FROM records r JOIN batches b ON b.id = r.batch WHERE (?1 = '' OR b.device = ?1) "
               "AND (?2 < 0 OR b.terminal = ?2) AND (?3 = '' OR r.collected_at >= ?3) "
               "ORDER BY r.batch, r.seq",
               {f.device, int64_t{f.terminal}, f.since})) {
        out.push_back({*row[0], static_cast<int>(Int(row[1])), *row[2], Int(row[3]),
                       static_cast<int>(Int(row[4])), *row[5], row[6].value_or("")});
      }
      return out;
    });
  }

  std::vector<StatusRow> Status() override {
    return Transaction([&] {
      std::vector<StatusRow> out;
      for (const Row &row : db_->Query(
               std::string("SELECT t.device, t.terminal, t.run, t.at, t.ok, t.records, t.message, "
                           "CASE WHEN d.lease_until > ") +
                   db_->Now() +
                   " THEN d.holder END FROM terminal_runs t LEFT JOIN devices d ON "
                   "d.name = t.device WHERE t.run = (SELECT max(x.run) FROM terminal_runs x "
                   "WHERE x.device = t.device AND x.terminal = t.terminal) "
                   "ORDER BY t.device, t.terminal",
               {})) {
        out.push_back({*row[0], static_cast<int>(Int(row[1])), Int(row[2]), *row[3],
                       Int(row[4]) != 0, static_cast<int>(Int(row[5])), *row[6],
                       row[7].value_or("")});
      }
      return out;
    });
  }

 private:
  template <typename F>
  auto Transaction(F body) -> decltype(body()) {
    db_->Exec(db_->BeginWrite());
    try {
      auto result = body();
      db_->Exec("COMMIT");
      return result;
    } catch (...) {
      try {
        db_->Exec("ROLLBACK");
      } catch (const StoreError &) {
        // The connection is gone; the server drops the transaction with it.
      }
      throw;
    }
  }

  void Migrate() {
    Transaction([&] {
      db_->Exec(db_->SchemaLock());
      db_->Exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
      auto rows = db_->Query("SELECT version FROM schema_version", {});
      int64_t version = rows.empty() ? 0 : Int(rows[0][0]);
      if (version > kSchemaVersion) {
        throw StoreError("the store's schema is version " + std::to_string(version) +
                         ", newer than this veldc knows (" + std::to_string(kSchemaVersion) + ")");
      }
      for (int64_t v = version; v < kSchemaVersion; ++v) {
        std::string script =
            Replace(Replace(kMigrations[v], "{ID}", db_->IdColumn()), "{BLOB}", db_->BlobType());
        // One statement at a time: not every engine takes several in one call.
        size_t start = 0;
        for (size_t end; (end = script.find(';', start)) != std::string::npos; start = end + 1) {
          db_->Exec(script.substr(start, end - start));
        }
        db_->Exec(script.substr(start));
      }
      if (version == 0) {
        db_->Exec("INSERT INTO schema_version(version) VALUES(?1)", {int64_t{kSchemaVersion}});
      } else if (version < kSchemaVersion) {
        db_->Exec("UPDATE schema_version SET version = ?1", {int64_t{kSchemaVersion}});
      }
      return 0;
    });
  }

  std::unique_ptr<Connection> db_;
};

}  // namespace

std::unique_ptr<Store> MakeSqlStore(std::unique_ptr<Connection> connection) {
  return std::make_unique<SqlStore>(std::move(connection));
}

std::unique_ptr<Store> Store::Open(const std::string &location) {
  if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) {
    return OpenPostgres(location);
  }
  return OpenSqlite(location);
}

std::string UtcNow() { return cli::UtcText(std::chrono::system_clock::now()); }

}  // namespace veldc::fleet
