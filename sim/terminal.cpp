#include "sim/terminal.h"

#include <cstdio>
#include <cstdlib>

namespace veldc::sim {

const char kRefusal[] = "??";

namespace {

constexpr int kSecondsPerDay = 24 * 3600;
constexpr char kEotText[] = "\x04";

std::vector<std::string> Lines(std::string line) { return {std::move(line)}; }
std::vector<std::string> Refuse() { return Lines(kRefusal); }

bool StartsWith(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string FirstWord(const std::string &command) { return command.substr(0, command.find(' ')); }

// The text after "WORD ", or empty when the command is the bare word.
std::string Argument(const std::string &command, const std::string &word) {
  return command.size() > word.size() + 1 ? command.substr(word.size() + 1) : std::string();
}

bool AllDigits(const std::string &text, size_t length) {
  if (text.size() != length) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int Number(const std::string &text, size_t at, size_t length) {
  return std::atoi(text.substr(at, length).c_str());
}

bool ValidFileName(const std::string &name) {
  if (name.empty() || name.size() > 8) return false;
  for (unsigned char c : name) {
    if (c < 0x21 || c > 0x7F) return false;
  }
  return true;
}

std::string TrimRight(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

int DaysInMonth(int month, int year) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && year % 4 == 0) return 29;
  return kDays[(month - 1) % 12];
}

// Sum of the records' bytes taken as signed values; the remainder keeps the sum's sign.
long Checksum(const std::vector<std::string> &records) {
  long sum = 0;
  for (const std::string &record : records) {
    for (char c : record) sum += static_cast<signed char>(c);
  }
  return sum % 32768;
}

}  // namespace

Terminal::Terminal(std::string model, int address, char ramCard)
    : model_(std::move(model)), address_(address), ramCard_(ramCard) {
  // The factory password; hosts that never set one log on with it.
  parameters_[kPasswordParameter] = "80264";
  for (char drive : {'A', 'B', 'C'}) drives_[drive];
}

int Terminal::ReplyAddress() const {
  return faults_.replyAddress >= 0 ? faults_.replyAddress : address_;
}

std::map<std::string, TerminalFile> &Terminal::Files(char drive) { return drives_.at(drive); }

const std::map<std::string, TerminalFile> &Terminal::Files(char drive) const {
  return drives_.at(drive);
}

void Terminal::PutFile(char drive, const std::string &name, std::vector<std::string> records) {
  TerminalFile file;
  file.records = std::move(records);
  drives_.at(drive)[name] = std::move(file);
}

void Terminal::QueueMessage(const std::string &text, Micros at) {
  messages_.emplace_back(at, text);
}

bool Terminal::TakeMessage(Micros now, std::string *text) {
  if (messages_.empty() || messages_.front().first > now) return false;
  *text = messages_.front().second;
  messages_.pop_front();
  return true;
}

Micros Terminal::NextMessageDue() const {
  return messages_.empty() ? ByteLine::kNever : messages_.front().first;
}

void Terminal::SetClock(const std::string &hhmmss, const std::string &wyymmdd, Micros now) {
  if (AllDigits(hhmmss, 6)) {
    seconds_ = Number(hhmmss, 0, 2) * 3600 + Number(hhmmss, 2, 2) * 60 + Number(hhmmss, 4, 2);
  } else {
    seconds_ = static_cast<int>((seconds_ + (now - clockSetAt_) / 1000000) % kSecondsPerDay);
  }
  if (AllDigits(wyymmdd, 7)) {
    weekday_ = Number(wyymmdd, 0, 1);
    year_ = Number(wyymmdd, 1, 2);
    month_ = Number(wyymmdd, 3, 2);
    day_ = Number(wyymmdd, 5, 2);
  } else {
    // Keep the calendar where the running clock has brought it.
    std::string date = Date(now);
    weekday_ = Number(date, 0, 1);
    year_ = Number(date, 1, 2);
    month_ = Number(date, 3, 2);
    day_ = Number(date, 5, 2);
  }
  clockSetAt_ = now;
}

std::string Terminal::Time(Micros now) const {
  long total = seconds_ + static_cast<long>((now - clockSetAt_) / 1000000);
  int s = static_cast<int>(total % kSecondsPerDay);
  char text[16];
  std::snprintf(text, sizeof text, "%02d%02d%02d", s / 3600, s / 60 % 60, s % 60);
  return text;
}

std::string Terminal::Date(Micros now) const {
  long days = (seconds_ + static_cast<long>((now - clockSetAt_) / 1000000)) / kSecondsPerDay;
  int w = weekday_, y = year_, m = month_, d = day_;
  for (long i = 0; i < days; ++i) {
    w = (w + 1) % 7;
    if (++d > DaysInMonth(m, y)) {
      d = 1;
      if (++m > 12) {
        m = 1;
        y = (y + 1) % 100;
      }
    }
  }
  char text[24];
  std::snprintf(text, sizeof text, "%d%02d%02d%02d", w, y, m, d);
  return text;
}

std::vector<std::string> Terminal::Handle(const std::string &command, Micros now) {
  commands_.push_back(command);
  if (faults_.silent) return {};
  std::vector<std::string> lines;
  // An echoing line repeats every command before the terminal answers it.
  if (echoLine_) lines.push_back(command);
  for (std::string &line : Reply(command, now)) lines.push_back(std::move(line));
  return lines;
}

std::vector<std::string> Terminal::Reply(const std::string &command, Micros now) {
  const std::string word = FirstWord(command);
  // A locked terminal asks for its password, "..", whatever it is told.
  if (word == "PW") return Password(command);
  if (locked_) return Lines("..");
  if (load_.active) return LoadLine(command);
  if (command.empty()) return Lines(model_ + ">");  // the prompt
  if (command == kEotText) return Refused("EOT") ? Refuse() : Lines("\x04*");
  if (Refused(word)) return Refuse();
  if (command == "%XI") return Identify();
  if (command == "%%") {
    load_ = Load();
    return Lines("!!! RESET");
  }
  if (word == "CD") return ChangeDrive(command);
  if (word == "DIR") return Directory(command);
  if (word == "TYPE") return Type(command);
  if (word == "LOAD" || command == "LOADP PROGRAM") return StartLoad(command);
  if (command == "STOP DOWNLOADING") return Lines(command);
  if (word == "DEL") return Delete(command);
  if (word == "TIME" || word == "DATE") return Clock(command, now);
  if (word == "CFG") return Config(command);
  return Refuse();
}

std::vector<std::string> Terminal::Identify() const {
  return Lines(model_ + " V2.10 RAM " + std::string(1, ramCard_));
}

std::vector<std::string> Terminal::Password(const std::string &command) {
  if (Argument(command, "PW") != parameters_[kPasswordParameter]) {
    return Lines(locked_ ? ".." : kRefusal);
  }
  locked_ = false;
  return Lines(command);
}

std::vector<std::string> Terminal::ChangeDrive(const std::string &command) {
  if (command.size() != 4 || drives_.count(command[3]) == 0) return Refuse();
  drive_ = command[3];
  return Lines(command);
}

std::string Terminal::DirectoryEntry(const std::string &name, const TerminalFile &file) const {
  // The size from index 9: bytes as a PC would store them, or records on a Sorvik.
  unsigned long size = 0;
  if (model_ == "Sorvik") {
    size = file.records.size();
  } else {
    for (const std::string &record : file.records) size += record.size() + 2;
  }
  char entry[32];
  std::snprintf(entry, sizeof entry, "%-8s %lu", name.c_str(), size);
  return entry;
}

std::vector<std::string> Terminal::Directory(const std::string &command) const {
  const auto &files = drives_.at(drive_);
  if (command == "DIR") {
    std::vector<std::string> lines = {"DIR " + std::string(1, drive_) + ":"};
    for (const auto &entry : files) lines.push_back(DirectoryEntry(entry.first, entry.second));
    Cut(&lines);
    if (faults_.cutAfterLines < 0 || static_cast<int>(files.size()) <= faults_.cutAfterLines) {
      lines.push_back(kEotText + std::to_string(files.size() + faults_.countOffset));
    }
    return lines;
  }
  if (command.size() < 5 || command[3] != ' ') return Refuse();
  const std::string asked = command.substr(4);
  const std::string name = TrimRight(asked);
  auto it = files.find(name);
  // An exact eight-character name gets the entry in the reply itself, except on a Sorvik.
  if (asked.size() == 8 && model_ != "Sorvik") {
    if (it == files.end()) return Refuse();
    return Lines("DIR " + DirectoryEntry(it->first, it->second));
  }
  std::vector<std::string> lines = {command};
  int count = 0;
  if (it != files.end()) {
    lines.push_back(DirectoryEntry(it->first, it->second));
    count = 1;
  }
  Cut(&lines);
  if (faults_.cutAfterLines < 0 || count <= faults_.cutAfterLines) {
    lines.push_back(kEotText + std::to_string(count + faults_.countOffset));
  }
  return lines;
}

std::vector<std::string> Terminal::Type(const std::string &command) const {
  auto it = drives_.at(drive_).find(Argument(command, "TYPE"));
  if (it == drives_.at(drive_).end()) return Refuse();
  const std::vector<std::string> &records = it->second.records;
  std::vector<std::string> lines = {command};
  lines.insert(lines.end(), records.begin(), records.end());
  Cut(&lines);
  if (faults_.cutAfterLines >= 0 && static_cast<int>(records.size()) > faults_.cutAfterLines) {
    return lines;
  }
  if (faults_.cutChance > 0) {
    if (!cutSeeded_) cutRandom_.seed(faults_.cutSeed + static_cast<unsigned>(address_));
    cutSeeded_ = true;
    if (static_cast<int>(cutRandom_() % 100) < faults_.cutChance) {
      lines.resize(1 + cutRandom_() % (records.size() + 1));
      return lines;
    }
  }
  lines.push_back(kEotText + std::to_string(records.size() + faults_.countOffset) + " RECS " +
                  std::to_string(Checksum(records) + faults_.checksumOffset));
  return lines;
}

void Terminal::Cut(std::vector<std::string> *lines) const {
  // The first line is the command's own answer; the cut counts the lines after it.
  if (faults_.cutAfterLines < 0) return;
  size_t keep = static_cast<size_t>(faults_.cutAfterLines) + 1;
  if (lines->size() > keep) lines->resize(keep);
}

std::vector<std::string> Terminal::StartLoad(const std::string &command) {
  Load load;
  load.drive = drive_;
  if (command == "LOADP PROGRAM") {
    load.program = true;
  } else {
    // LOAD NAME, LOAD NAME P, LOAD NAME 12, LOAD NAME P12.
    std::string rest = Argument(command, "LOAD");
    size_t blank = rest.find(' ');
    load.name = rest.substr(0, blank);
    if (!ValidFileName(load.name)) return Refuse();
    if (blank != std::string::npos) {
      std::string option = rest.substr(blank + 1);
      if (!option.empty() && option[0] == 'P') {
        load.file.protect = true;
        option.erase(0, 1);
      }
      if (!option.empty()) {
        if (option.size() > 3 || option.find_first_not_of("0123456789") != std::string::npos) {
          return Refuse();
        }
        load.file.option = std::atoi(option.c_str());
      }
    }
  }
  load.active = true;
  load_ = std::move(load);
  return Lines(command);
}

std::vector<std::string> Terminal::LoadLine(const std::string &command) {
  if (command == kEotText && !Refused("EOT")) {
    Load load = std::move(load_);
    load_ = Load();
    const int count = static_cast<int>(load.file.records.size());
    completedLoads_.push_back(CompletedLoad{load.program, load.drive, load.name});
    if (load.program) {
      program_ = std::move(load.file.records);
      ++programLoads_;
    } else {
      drives_[load.drive][load.name] = std::move(load.file);
    }
    return Lines(std::to_string(count + faults_.countOffset));
  }
  if (command == "STOP DOWNLOADING") {
    load_ = Load();
    return Lines(command);
  }
  if (command == kEotText) return Refuse();
  // A cut-off load: the records after the cut never reach the terminal.
  if (faults_.cutAfterLines >= 0 && load_.received >= faults_.cutAfterLines) return {};
  ++load_.received;
  if (Refused("RECORD")) return Refuse();
  load_.file.records.push_back(command);
  return Lines(command);
}

std::vector<std::string> Terminal::Delete(const std::string &command) {
  auto &files = drives_.at(drive_);
  auto it = files.find(Argument(command, "DEL"));
  if (it == files.end()) return Refuse();
  files.erase(it);
  return Lines(command);
}

std::vector<std::string> Terminal::Clock(const std::string &command, Micros now) {
  const bool time = StartsWith(command, "TIME");
  if (command == "TIME") return Lines("TIME " + Time(now));
  if (command == "DATE") return Lines("DATE " + Date(now));
  const std::string value = command.substr(5);
  if (command[4] != ' ') return Refuse();
  if (time) {
    if (!AllDigits(value, 6) || Number(value, 0, 2) > 23 || Number(value, 2, 2) > 59 ||
        Number(value, 4, 2) > 59) {
      return Refuse();
    }
    SetClock(value, std::string(), now);
  } else {
    if (!AllDigits(value, 7)) return Refuse();
    const int m = Number(value, 3, 2), d = Number(value, 5, 2);
    // 29 February is taken in any year, as hosts check dates without a leap-year rule.
    if (Number(value, 0, 1) > 6 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(m, 0)) {
      return Refuse();
    }
    SetClock(std::string(), value, now);
  }
  return Lines(command);
}

std::vector<std::string> Terminal::Config(const std::string &command) {
  // "CFG nn" reads, "CFG nn value" writes (the value may be empty: "CFG nn ").
  if (command.size() < 6 || command[3] != ' ' || !AllDigits(command.substr(4, 2), 2)) {
    return Refuse();
  }
  const int number = Number(command, 4, 2);
  if (command.size() == 6) return Lines(command + " " + parameters_[number]);
  if (command[6] != ' ') return Refuse();
  parameters_[number] = command.substr(7);
  return Lines(command);
}

}  // namespace veldc::sim
