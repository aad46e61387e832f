// The one SQL store both engines share: each engine only runs statements and names the few
// things its dialect says differently.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "store.h"

namespace veldc::fleet {

struct Blob {
  std::string bytes;
};
using Value = std::variant<int64_t, std::string, Blob>;
// Every column as text (a blob as its bytes); nullopt for NULL.
using Row = std::vector<std::optional<std::string>>;

class Connection {
 public:
  virtual ~Connection() = default;
  // `sql` numbers its parameters ?1, ?2, ...
  virtual std::vector<Row> Query(const std::string &sql, const std::vector<Value> &params) = 0;
  void Exec(const std::string &sql, const std::vector<Value> &params = {}) { Query(sql, params); }

  // The dialect.
  virtual const char *BeginWrite() const = 0;  // starts a transaction that writes
  virtual const char *Now() const = 0;         // seconds since 1970, as an SQL expression
  virtual const char *SkipLocked() const = 0;  // row lock that skips rows another holds
  virtual const char *Locked() const = 0;      // row lock that waits
  virtual const char *IdColumn() const = 0;    // an automatic integer primary key
  virtual const char *BlobType() const = 0;
  // Taken inside the schema transaction, so two collectors never create it at once.
  virtual const char *SchemaLock() const = 0;
};

std::unique_ptr<Store> MakeSqlStore(std::unique_ptr<Connection> connection);

}  // namespace veldc::fleet
