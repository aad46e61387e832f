// The shared engine: PostgreSQL through libpq, for several collectors working on one fleet.
#include <libpq-fe.h>

#include "sql.h"

namespace veldc::fleet {
namespace {

constexpr Oid kByteaOid = 17;

// "?12" becomes "$12": the statements are written once for both engines.
std::string Dollars(const std::string &sql) {
  std::string out = sql;
  for (char &c : out) {
    if (c == '?') c = '$';
  }
  return out;
}

class PostgresConnection : public Connection {
 public:
  explicit PostgresConnection(const std::string &url) {
    db_ = PQconnectdb(url.c_str());
    if (PQstatus(db_) != CONNECTION_OK) {
      std::string message = PQerrorMessage(db_);
      PQfinish(db_);
      throw StoreError("cannot open the PostgreSQL store: " + Trim(message));
    }
    PQsetNoticeProcessor(
        db_, [](void *, const char *) {}, nullptr);
  }
  ~PostgresConnection() override { PQfinish(db_); }

  std::vector<Row> Query(const std::string &sql, const std::vector<Value> &params) override {
    // A connection lost on the way (a restarted server) is opened again at the next
    // transaction, never in the middle of one.
    if (PQstatus(db_) != CONNECTION_OK && sql.rfind("BEGIN", 0) == 0) PQreset(db_);
    std::vector<std::string> texts(params.size());
    std::vector<const char *> values(params.size());
    std::vector<int> lengths(params.size());
    std::vector<int> formats(params.size());
    for (size_t i = 0; i < params.size(); ++i) {
      if (auto *number = std::get_if<int64_t>(&params[i])) {
        texts[i] = std::to_string(*number);
      } else if (auto *text = std::get_if<std::string>(&params[i])) {
        texts[i] = *text;
      } else {
        texts[i] = std::get<Blob>(params[i]).bytes;
        formats[i] = 1;
      }
      values[i] = texts[i].data();
      lengths[i] = static_cast<int>(texts[i].size());
    }
    PGresult *result = PQexecParams(db_, Dollars(sql).c_str(), static_cast<int>(params.size()),
                                    nullptr, values.data(), lengths.data(), formats.data(), 0);
    std::unique_ptr<PGresult, void (*)(PGresult *)> owned(result, PQclear);
    ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      throw StoreError("PostgreSQL store: " + Trim(PQerrorMessage(db_)));
    }
    std::vector<Row> rows;
    for (int r = 0; r < PQntuples(result); ++r) {
      Row row;
      for (int c = 0; c < PQnfields(result); ++c) {
        if (PQgetisnull(result, r, c)) {
          row.emplace_back();
        } else if (PQftype(result, c) == kByteaOid) {
          size_t size = 0;
          unsigned char *bytes = PQunescapeBytea(
              reinterpret_cast<const unsigned char *>(PQgetvalue(result, r, c)), &size);
          row.emplace_back(std::string(reinterpret_cast<char *>(bytes), size));
          PQfreemem(bytes);
        } else {
          row.emplace_back(std::string(PQgetvalue(result, r, c),
                                       static_cast<size_t>(PQgetlength(result, r, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  const char *BeginWrite() const override { return "BEGIN"; }
  const char *Now() const override { return "extract(epoch from clock_timestamp())"; }
  const char *SkipLocked() const override { return " FOR UPDATE SKIP LOCKED"; }
  const char *Locked() const override { return " FOR UPDATE"; }
  const char *IdColumn() const override { return "BIGSERIAL PRIMARY KEY"; }
  const char *BlobType() const override { return "BYTEA"; }
  const char *SchemaLock() const override { return "SELECT pg_advisory_xact_lock(1544)"; }

 private:
  static std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

  PGconn *db_ = nullptr;
};

}  // namespace

std::unique_ptr<Store> OpenPostgres(const std::string &url) {
  return MakeSqlStore(std::make_unique<PostgresConnection>(url));
}

}  // namespace veldc::fleet
