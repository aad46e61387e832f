// What veldc-sim is asked to serve, as read from its command line.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/terminal.h"

namespace CLI {
class App;
}

namespace veldc::simtool {

struct TerminalSpec {
  int address = 0;
  std::string model = "Veld";
  char ramCard = 'F';
  std::string password;  // empty: --password, or the factory one
};

struct Options {
  // The kind of link; exactly one may be chosen, --direct when none is.
  bool direct = false;
  bool logon = false;
  bool network = false;

  std::string device;                  // serve on this path instead of a new pty
  std::vector<std::string> terminals;  // "ADDR[:MODEL[:CARD[:PASSWORD]]]"
  std::string password;
  bool locked = false;
  bool echo = false;
  bool leadingLineFeed = false;
  std::string filesDir;
  std::string saveDir;
  std::vector<std::string> messages;
  int replyDelayMs = 20;
  int lineGapMs = 2;

  bool modem = false;
  int modemSpeed = 9600;
  std::string dialResult = "connect";

  // Faults, on every terminal or only on --fault-terminal.
  int faultTerminal = -1;
  bool silent = false;
  int delayMs = 0;
  std::string garbage;
  int wrongAddress = -1;
  std::vector<std::string> refuse;
  int wrongCount = 0;
  int wrongChecksum = 0;
  int cutAfter = -1;
  int cutChance = 0;
  unsigned faultSeed = 1;
  bool unended = false;
  std::string networkFailure = "none";
};

// Declares every option on `app`.
void AddOptions(CLI::App &app, Options *options);

// "7", "7:Sorvik", "7:Sorvik:P", "7:Sorvik:P:4711". False when the text is not of that form, names
// another model or gives a password of more than 5 characters.
bool ParseTerminal(const std::string &text, TerminalSpec *spec);

// A terminal as `spec` and the options describe it: password, lock, echo, faults, files.
// Null (with the reason on stderr) when the files cannot be read.
std::unique_ptr<sim::Terminal> MakeTerminal(const Options &options, const TerminalSpec &spec);

// Every terminal the -t options name (address 1 on a network, else 0, when none does); the
// first gets the --message texts, one a second. False (with the reason on stderr) when a -t
// option is bad or the files cannot be read.
bool MakeTerminals(const Options &options, bool network,
                   std::vector<std::unique_ptr<sim::Terminal>> *terminals);

// Turns "\xHH", "\r", "\n" and "\\" in an option's text into the bytes they stand for.
std::string Unescape(const std::string &text);

// The faults the options ask for.
sim::TerminalFaults FaultsOf(const Options &options);

}  // namespace veldc::simtool
