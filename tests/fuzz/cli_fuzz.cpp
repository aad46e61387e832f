// veldc's parsers on any text. cli_batch: the batch reader, each line split into words and
// parsed as a command, each command's own checks run against every link kind; a refusal is a
// usage error naming its line, never a crash or an exception, and words quoted again split back
// alike. cli_text, the first byte choosing the parser: parameter files, link strings and
// character formats, parameter selections, the escapes of raw commands and of what terminals
// send; what is parsed and written out again parses alike, and an escaped text holds no byte
// that could act on the user's terminal.
#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app.h"
#include "check.h"
#include "checks.h"
#include "link.h"
#include "param_file.h"
#include "report.h"
#include "text_args.h"
#include "trace_log.h"
#include "veldc.h"

using namespace veldc::cli;
using veldc::fuzz::Check;

namespace {

void Batch(const uint8_t *data, size_t size) {
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
}

bool Prints(const std::string &text, bool newline = false) {
  return std::all_of(text.begin(), text.end(), [&](unsigned char c) {
    return (c >= 0x20 && c <= 0x7E) || (newline && c == '\n');
  });
}

void ParamFile(const std::string &text) {
  std::map<int, std::string> values, again;
  std::string error;
  std::istringstream in(text);
  if (!ReadParamFile(in, &values, &error)) return Check(Prints(error), "an error line");
  for (const auto &[number, value] : values) {
    if (!CheckParameter(number, value).ok()) return;  // refused before anything is sent
  }
  std::istringstream written(WriteParamFile(values));
  Check(ReadParamFile(written, &again, &error) && again == values, "a file written reads alike");
}

std::string LinkText(const LinkSpec &l) {
  const std::string port = std::to_string(l.port);
  if (l.kind == LinkKind::kSim) return "sim";
  if (l.kind == LinkKind::kKov74) return "kov74:" + port + ":" + std::to_string(l.kov74Mode);
  if (l.kind == LinkKind::kPelo) return "pelo:" + l.ip + ":" + port;
  return LinkKindName(l.kind) + (":" + (l.device.empty() ? port : l.device));
}

void Link(const std::string &text) {
  LinkSpec link, again;
  std::string error;
  int format = 0;
  if (ParseFormat(text, &format, &error)) Check(format >= -1 && format <= 4, "a format");
  if (!ParseLink(text, &link, &error)) return;
  Check(DeviceKindOf(link) != DEV_NONE && link.port >= 1 && link.port <= 65535, "a device");
  Check(ParseLink(LinkText(link), &again, &error), "a link written again parses");
  Check(LinkText(again) == LinkText(link), "a link written again parses alike");
}

void Selection(const std::string &text) {
  std::vector<int> selected, again;
  std::string error, written = "0-0";
  if (!ParseSelection(text, &selected, &error)) return;
  Check(selected.size() == 100, "100 parameters");
  for (int n = 0; n < 100; ++n) written += selected[n] != 0 ? "," + std::to_string(n) : "";
  selected[0] = 1;
  Check(ParseSelection(written, &again, &error) && again == selected, "a selection written");
}

void Escapes(const std::string &text) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
  const int length = static_cast<int>(text.size());
  const std::string escaped = EscapeBytes(bytes, length);
  Check(Prints(escaped) && Prints(Printable(text)), "escaped text prints");
  for (int kind = 1; kind <= 6; ++kind) {
    Check(Prints(FormatRecord(kind, bytes, length, kind % 2 == 0), true), "a trace record");
  }
  std::string back, error;
  Check(Unescape(escaped, &back, &error) == (text.find('\0') == std::string::npos),
        "an escaped text without a zero unescapes");
  if (error.empty()) Check(back == text, "and gives the bytes back");
  const bool zero = text.find('\0') != std::string::npos;
  if (Unescape(text, &back, &error)) Check(zero == (back.find('\0') != back.npos), "no zero made");
  // Each byte as the Latin-1 character of its number: valid UTF-8 that encodes back alike.
  const std::string utf8 = TerminalText(text).get<std::string>();
  std::string latin1;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    latin1 += c < 0x80 ? static_cast<char>(c) : static_cast<char>((c & 3) << 6 | (utf8[++i] & 63));
  }
  Check(latin1 == text && !nlohmann::json(utf8).dump().empty(), "terminal text in JSON");
}

void Texts(const uint8_t *data, size_t size) {
  if (size == 0) return;
  const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  static void (*const kParsers[])(const std::string &) = {ParamFile, Link, Selection, Escapes};
  kParsers[data[0] % 4](text);
}

}  // namespace

VELDC_FUZZ_ENTRIES(Batch, Texts)
