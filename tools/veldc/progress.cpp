#include "progress.h"

#include "veldc.h"

namespace veldc::cli {
namespace {

constexpr int kBarWidth = 30;

std::string Bar(unsigned long long part, unsigned long long whole, int width) {
  int filled = whole == 0 ? width : static_cast<int>(part >= whole ? width : part * width / whole);
  return "[" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(width - filled), '.') + "]";
}

void VELDC_API OnProgress(void *context, int meter, int event, int records, unsigned done,
                          unsigned total, const char *text) {
  static_cast<ProgressBar *>(context)->Report(meter, event, records, done, total, text);
}

}  // namespace

std::string TransferLine(int records, unsigned done, unsigned total, int width) {
  char counts[96];
  if (total == 0) {
    std::snprintf(counts, sizeof counts, "%d records  %u bytes", records, done);
    return counts;
  }
  unsigned percent = done >= total ? 100u : static_cast<unsigned>(100ull * done / total);
  std::snprintf(counts, sizeof counts, " %3u%%  %d records  %u/%u bytes", percent, records, done,
                total);
  return Bar(done, total, width) + counts;
}

std::string ConnectLine(unsigned elapsedMs, unsigned timeoutMs, const std::string &status,
                        int width) {
  char times[64];
  std::snprintf(times, sizeof times, " connect %u.%u/%u.%u s", elapsedMs / 1000,
                elapsedMs % 1000 / 100, timeoutMs / 1000, timeoutMs % 1000 / 100);
  std::string line = Bar(elapsedMs, timeoutMs, width) + times;
  if (!status.empty()) line += "  " + status;
  return line;
}

ProgressBar::ProgressBar(std::FILE *out) : out_(out) {}

ProgressBar::~ProgressBar() { Detach(); }

void ProgressBar::Attach() {
  SetProgressCallback(OnProgress, this);
  EnableMeter(1);
  attached_ = true;
}

void ProgressBar::Detach() {
  if (!attached_) return;
  EnableMeter(0);
  SetProgressCallback(nullptr, nullptr);
  attached_ = false;
  End();
}

void ProgressBar::Report(int meter, int event, int records, unsigned done, unsigned total,
                         const char *text) {
  if (event == VELDC_PROGRESS_OPEN) status_.clear();
  if (text != nullptr) status_ = text;
  if (event == VELDC_PROGRESS_CLOSE) {
    // A transfer's bar waits for the outcome: the meter's own count of an upload falls short
    // of the size the directory gave (it counts one line end byte where the file has two).
    if (meter == VELDC_METER_TRANSFER && drawn_) {
      closed_ = true;
    } else {
      End();
    }
    return;
  }
  if (meter == VELDC_METER_CONNECT) {
    Draw(ConnectLine(done, total, status_, kBarWidth));
  } else if (event != VELDC_PROGRESS_OPEN) {
    records_ = records;
    total_ = total;
    Draw(TransferLine(records, done, total, kBarWidth));
  }
}

void ProgressBar::Settle(bool success) {
  if (closed_ && success && total_ > 0) Draw(TransferLine(records_, total_, total_, kBarWidth));
  closed_ = false;
  End();
}

void ProgressBar::Draw(const std::string &line) {
  // Carriage return and clear-to-end keep the bar on one line of the terminal.
  std::fprintf(out_, "\r%s\x1b[K", line.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::End() {
  if (!drawn_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace veldc::cli
