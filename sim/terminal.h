// A data-collection terminal at the level of text lines: one command in, the reply lines out.
// Transports (a direct line, a log-on line, a network interface, the Kov74 driver, a Pelo
// adapter) frame and time those lines; this class only decides what the terminal says.
#pragma once

#include <array>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sim/byte_line.h"

namespace veldc::sim {

// The one-character command that ends a load or a transfer.
constexpr char kEot = '\x04';

// The reply a terminal gives to anything it does not accept.
extern const char kRefusal[];  // "??"

struct TerminalFile {
  std::vector<std::string> records;
  bool protect = false;  // the P flag of the load
  int option = 0;        // the numeric option of the load
};

// Misbehaviour a test or the simulator's user can switch on. The byte-level ones (delay,
// garbage, unended line, silence) are carried out by the line the terminal sits on.
struct TerminalFaults {
  bool silent = false;                 // answers nothing, not even an echo
  Micros replyDelay = 0;               // added before the first line of every reply
  std::string garbage;                 // bytes sent in front of every reply
  int replyAddress = -1;               // address put on replies instead of the terminal's own
  std::set<std::string> refusedWords;  // command words answered "??"; "RECORD" for load records
  int countOffset = 0;                 // added to every count the terminal reports
  int checksumOffset = 0;              // added to the checksum of a typed file
  int cutAfterLines = -1;              // transfers stop after this many lines (loads stop echoing)
  int cutChance = 0;                   // percent of TYPE transfers cut at a random record
  unsigned cutSeed = 1;                // where the random cuts start
  bool unendedLine = false;            // the first reply line never gets its carriage return
};

class Terminal {
 public:
  static constexpr int kParameterCount = 100;
  static constexpr int kPasswordParameter = 89;

  // `model` is "Veld", "Sorvik", "Dulm" or "Qyr"; `ramCard` the format letter ending "%XI".
  explicit Terminal(std::string model = "Veld", int address = 0, char ramCard = 'F');

  // The reply lines, first to last, for one command line (without its line end).
  std::vector<std::string> Handle(const std::string &command, Micros now);

  // ---- Identity ----
  const std::string &Model() const { return model_; }
  int Address() const { return address_; }
  void SetAddress(int address) { address_ = address; }
  // The address replies carry: the terminal's own unless a fault says otherwise.
  int ReplyAddress() const;
  char RamCard() const { return ramCard_; }
  void SetRamCard(char letter) { ramCard_ = letter; }

  // ---- Clock: runs from the value set, at the caller's time ----
  void SetClock(const std::string &hhmmss, const std::string &wyymmdd, Micros now);
  std::string Time(Micros now) const;  // HHMMSS
  std::string Date(Micros now) const;  // WYYMMDD

  // ---- Parameters (89 is the log-on password) ----
  const std::string &Parameter(int number) const { return parameters_.at(number); }
  void SetParameter(int number, const std::string &value) { parameters_.at(number) = value; }
  void SetPassword(const std::string &password) { SetParameter(kPasswordParameter, password); }
  // A locked terminal answers ".." to everything until "PW <parameter 89>".
  bool Locked() const { return locked_; }
  void SetLocked(bool locked) { locked_ = locked; }

  // ---- Line behaviour ----
  bool EchoLine() const { return echoLine_; }
  void SetEchoLine(bool echo) { echoLine_ = echo; }

  // ---- Files ----
  char CurrentDrive() const { return drive_; }
  std::map<std::string, TerminalFile> &Files(char drive);
  const std::map<std::string, TerminalFile> &Files(char drive) const;
  void PutFile(char drive, const std::string &name, std::vector<std::string> records);
  const std::vector<std::string> &Program() const { return program_; }
  int ProgramLoads() const { return programLoads_; }
  // Every load the host closed, in order: the program store or a file by drive and name.
  struct CompletedLoad {
    bool program;
    char drive;
    std::string name;
  };
  const std::vector<CompletedLoad> &CompletedLoads() const { return completedLoads_; }
  bool Loading() const { return load_.active; }

  // ---- Messages the terminal sends on its own, each due from `at` ----
  void QueueMessage(const std::string &text, Micros at = 0);
  // Takes the first message due at or before `now`.
  bool TakeMessage(Micros now, std::string *text);
  // When the first queued message falls due; ByteLine::kNever when none is queued.
  Micros NextMessageDue() const;

  TerminalFaults &Faults() { return faults_; }
  const TerminalFaults &Faults() const { return faults_; }

  // Every command handled, in order (tests look at what reached the terminal).
  const std::vector<std::string> &Commands() const { return commands_; }

 private:
  struct Load {
    bool active = false;
    bool program = false;
    char drive = 'C';
    std::string name;
    TerminalFile file;
    int received = 0;  // records that reached the terminal, echoed or not
  };

  std::vector<std::string> Reply(const std::string &command, Micros now);
  std::vector<std::string> LoadLine(const std::string &command);
  std::vector<std::string> Identify() const;
  std::vector<std::string> ChangeDrive(const std::string &command);
  std::vector<std::string> Directory(const std::string &command) const;
  std::vector<std::string> Type(const std::string &command) const;
  std::vector<std::string> StartLoad(const std::string &command);
  std::vector<std::string> Delete(const std::string &command);
  std::vector<std::string> Clock(const std::string &command, Micros now);
  std::vector<std::string> Config(const std::string &command);
  std::vector<std::string> Password(const std::string &command);
  std::string DirectoryEntry(const std::string &name, const TerminalFile &file) const;
  bool Refused(const std::string &word) const { return faults_.refusedWords.count(word) != 0; }
  // Keeps at most `cutAfterLines` of `lines` when a transfer is to be cut off.
  void Cut(std::vector<std::string> *lines) const;

  std::string model_;
  int address_;
  char ramCard_;
  std::array<std::string, kParameterCount> parameters_;
  bool locked_ = false;
  bool echoLine_ = false;
  char drive_ = 'C';
  std::map<char, std::map<std::string, TerminalFile>> drives_;
  std::vector<std::string> program_;
  int programLoads_ = 0;
  std::vector<CompletedLoad> completedLoads_;
  Load load_;
  // The clock: seconds of the day and the calendar as set at `clockSetAt_`.
  int seconds_ = 12 * 3600;
  int weekday_ = 1, year_ = 26, month_ = 1, day_ = 5;
  Micros clockSetAt_ = 0;
  std::deque<std::pair<Micros, std::string>> messages_;
  TerminalFaults faults_;
  mutable std::minstd_rand cutRandom_;
  mutable bool cutSeeded_ = false;
  std::vector<std::string> commands_;
};

}  // namespace veldc::sim
