// The progress bar on stderr, fed by the library's meter reports (SetProgressCallback).
#pragma once

#include <cstdio>
#include <string>

namespace veldc::cli {

// One line of the transfer bar: "[#######.............]  35%  12 records  1234/3500 bytes".
// With an unknown total (0) only the counts are shown.
std::string TransferLine(int records, unsigned done, unsigned total, int width);
// One line of the connect bar: "[####................] connect 1.2/7.0 s  Status Request".
std::string ConnectLine(unsigned elapsedMs, unsigned timeoutMs, const std::string &status,
                        int width);

class ProgressBar {
 public:
  // Draws on `out` (not owned); call Attach only when `out` is a terminal.
  explicit ProgressBar(std::FILE *out);
  ~ProgressBar();
  ProgressBar(const ProgressBar &) = delete;
  ProgressBar &operator=(const ProgressBar &) = delete;

  void Attach();
  void Detach();
  void Report(int meter, int event, int records, unsigned done, unsigned total, const char *text);
  // A command ended: a transfer that succeeded shows its whole size, then the bar's line ends.
  void Settle(bool success);

 private:
  void Draw(const std::string &line);
  void End();

  std::FILE *out_;
  bool attached_ = false;
  bool drawn_ = false;
  std::string status_;
  bool closed_ = false;  // a transfer meter closed; its bar waits for Settle
  int records_ = 0;
  unsigned total_ = 0;
};

}  // namespace veldc::cli
