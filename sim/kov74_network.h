// The terminal network behind the Kov74 driver: terminals at addresses 1..N, reached by the
// driver's five calls. The driver stand-in and the unit tests' virtual driver both run this
// model, so the two behave alike.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/line_output.h"
#include "sim/terminal.h"

namespace veldc::sim {

class Kov74Network {
 public:
  // The longest text a poll hands back after the sender byte.
  static constexpr size_t kMaxText = 127;
  // The longest command text a send takes.
  static constexpr size_t kMaxSend = 120;

  explicit Kov74Network(LineTiming timing = LineTiming());

  // Terminals the caller owns, or `count` new ones of `model` at addresses 1..count.
  void AddTerminal(Terminal *terminal);
  void CreateTerminals(int count, const std::string &model);
  Terminal *At(int address) const;

  // The driver's calls. Open: 1 when opened, -3 when already open, -1 for bad arguments.
  // SetSpeed: 0 for codes 0..3, -1 otherwise. Close: 0, or -255 when not open.
  // Poll: 2 with a message in `record` (sender byte, text, NUL), 1 when the terminal is
  // there, 0 otherwise. Send: 0 when the terminal took the text, 1 when refused.
  int Open(int port, int mode, int c254, int option);
  int SetSpeed(int code);
  int Close();
  int Poll(int address, char *record, Micros now);
  int Send(int address, const char *text, Micros now);

  bool IsOpen() const { return open_; }
  int Speed() const { return speed_; }

  // Test settings, "name=value" pairs separated by ';' or ',':
  //   open=R speed=R close=R poll=R send=R   the call returns R from now on
  //   from=A                                 replies carry sender address A
  //   terminals=N model=M                    N fresh terminals of model M at 1..N
  //   locked=1 password=P echo=0             applied to every terminal
  //   delay=MS                               reply delay in milliseconds
  //   reset                                  forgets every override above
  // Returns false (changing nothing more) at the first setting it does not know.
  bool Apply(const std::string &settings);

 private:
  struct Override {
    bool set = false;
    int result = 0;
  };
  enum Entry { kOpen, kSpeed, kClose, kPoll, kSend, kEntries };

  LineTiming timing_;
  std::vector<Terminal *> terminals_;
  std::vector<std::unique_ptr<Terminal>> owned_;
  std::map<int, std::deque<std::pair<Micros, std::string>>> mailboxes_;
  Override overrides_[kEntries];
  int from_ = -1;
  bool open_ = false;
  int speed_ = 0;
};

}  // namespace veldc::sim
