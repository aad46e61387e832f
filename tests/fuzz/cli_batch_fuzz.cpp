// veldc's batch reader on any text: each line split into words and parsed as a command, each
// command's own checks run against every link kind. What it promises: a refusal is a usage
// error naming its line, never a crash or an exception; words quoted again split back alike.
#include <sstream>

#include "app.h"
#include "check.h"
#include "text_args.h"

using namespace veldc::cli;
using veldc::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<std::string> words, again;
  std::string error, quoted;
  if (SplitWords(text, &words, &error)) {
    // A word holding both quote marks cannot be written again in one pair of them.
    bool writable = true;
    for (const std::string &w : words) {
      const bool single = w.find('\'') != std::string::npos;
      writable = writable && !(single && w.find('"') != std::string::npos);
      const char q = single ? '"' : '\'';
      quoted += q + w + q + ' ';
    }
    if (writable && SplitWords(quoted, &again, &error)) Check(again == words, "words quoted again");
  }
  std::istringstream in(text);
  std::vector<Step> steps;
  const Status status = ReadBatch(in, "f", &steps);
  Check(status.ok() || (status.code == kUsageError && status.message.rfind("f:", 0) == 0),
        "a refused line is a usage error naming the line");
  Check(status.code != 0 || text.find('\0') == std::string::npos, "no zero byte taken");
  for (const Step &step : steps) {
    Check(!step.command.name.empty() && step.command.run != nullptr, "a command to run");
    if (!step.command.check) continue;
    for (LinkKind kind : {LinkKind::kSim, LinkKind::kLogon, LinkKind::kKov74, LinkKind::kPelo}) {
      LinkSpec link;
      link.kind = kind;
      const int code = step.command.check(link).code;
      Check(code == 0 || code == kUsageError || code == kHostFileError, "a check's code");
    }
  }
  return 0;
}
