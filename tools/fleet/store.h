// What a fleet run keeps: runs, devices and their claims, batches of collected records and the
// outcome per terminal. One small interface, two engines (SQLite, PostgreSQL).
//
// Every call is one transaction of its own and throws StoreError when the store cannot be read
// or written; nothing is left half done.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace veldc::fleet {

struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The records of the batches of one terminal file still marked stored (collected, but the
// terminal's file not known to be deleted), oldest first.
struct Pending {
  std::vector<int64_t> batches;
  std::vector<std::string> records;
};

struct NewBatch {
  std::string device;
  int terminal = 0;
  std::string file;
  std::vector<std::string> records;  // only what is new
  int uploaded = 0;                  // records in the whole upload
  int checksum = 0;                  // the upload's checksum, as the terminal reports it
  bool clearPending = false;         // the pending batches' records were deleted after all
  std::vector<int64_t> pending;      // as read by PendingRecords
  std::string collectedAt;
};

struct RecordRow {
  std::string device;
  int terminal = 0;
  std::string file;
  int64_t batch = 0;
  int seq = 0;
  std::string collectedAt;
  std::string text;
};

struct RecordFilter {
  std::string device;
  int terminal = -1;
  std::string since;  // ISO 8601, compared with collected_at
};

struct StatusRow {
  std::string device;
  int terminal = 0;
  int64_t run = 0;
  std::string at;
  bool ok = false;
  int records = 0;
  std::string message;
  std::string holder;  // the run holding the device's lease, if any
};

enum class Claim { kTaken, kHeld, kDoneByOther };

class Store {
 public:
  virtual ~Store() = default;
  // "postgresql://..." or "postgres://..." opens PostgreSQL, anything else is a SQLite file.
  // Creates or migrates the schema.
  static std::unique_ptr<Store> Open(const std::string &location);

  virtual int64_t BeginRun(const std::string &host, int pid, const std::string &inventory) = 0;
  virtual void EndRun(int64_t run, bool ok) = 0;

  // Takes the device for `run` for `lease` seconds unless another run holds an unexpired lease
  // (kHeld) or finished it after `since`, this run's start (kDoneByOther).
  virtual Claim ClaimDevice(int64_t run, const std::string &device, int lease,
                            const std::string &since) = 0;
  // Pushes the lease of every device the run holds `lease` seconds on.
  virtual void RenewLeases(int64_t run, int lease) = 0;
  virtual void ReleaseDevice(int64_t run, const std::string &device, bool done) = 0;

  virtual Pending PendingRecords(const std::string &device, int terminal,
                                 const std::string &file) = 0;
  // Stores the batch as `stored` (and clears the pending batches when told to), in one
  // transaction that first checks `run` still holds the device. Returns the batch's id, 0 when
  // it had no records.
  virtual int64_t StoreBatch(int64_t run, const NewBatch &batch) = 0;
  // Marks every stored batch of the terminal file cleared: its file is gone from the terminal.
  virtual void MarkCleared(const std::string &device, int terminal, const std::string &file) = 0;

  virtual void NoteTerminal(int64_t run, const std::string &device, int terminal, bool ok,
                            int records, const std::string &message) = 0;

  virtual std::vector<RecordRow> Records(const RecordFilter &filter) = 0;
  virtual std::vector<StatusRow> Status() = 0;
};

// The time now as ISO 8601 UTC with milliseconds, like 2026-12-06T16:05:01.123Z.
std::string UtcNow();

std::unique_ptr<Store> OpenSqlite(const std::string &path);
std::unique_ptr<Store> OpenPostgres(const std::string &url);

}  // namespace veldc::fleet
