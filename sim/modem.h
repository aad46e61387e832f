// A Hayes modem in front of any line. In command mode it echoes what it is typed and answers AT
// commands with result lines ("\r\nOK\r\n"); after "ATD..." connects it passes bytes both ways
// until the escape sequence: a guard time of silence, "+++", another guard time.
#pragma once

#include <string>
#include <vector>

#include "sim/byte_line.h"
#include "sim/line_output.h"

namespace veldc::sim {

struct ModemTiming {
  Micros resultDelay = 10 * kMillis;  // from a command's carriage return to its result
  Micros dialDelay = 1500 * kMillis;  // from the dial command to the call's result
  Micros guard = 500 * kMillis;       // silence around "+++"
};

class Modem : public ByteLine {
 public:
  enum class DialResult { kConnect, kNoCarrier, kBusy, kSilent };

  explicit Modem(ByteLine &behind, ModemTiming timing = ModemTiming());

  void SetDialResult(DialResult result) { dialResult_ = result; }
  void SetSpeed(int speed) { speed_ = speed; }
  // A modem whose echo is lost whatever E says.
  void SetEchoLost(bool lost) { echoLost_ = lost; }

  bool Connected() const { return connected_; }
  bool DataMode() const { return dataMode_; }
  bool Echo() const { return echo_; }
  int S7() const { return s7_; }
  const std::string &Number() const { return number_; }
  // Every command line the modem received in command mode.
  const std::vector<std::string> &Commands() const { return commands_; }

  void FromHost(const uint8_t *data, size_t length, Micros now) override;
  void ToHost(Micros now, std::string *out) override;
  Micros NextDue() const override;
  using ByteLine::FromHost;

 private:
  void CommandByte(char c, Micros now);
  void DataByte(char c, Micros now);
  void Execute(const std::string &line, Micros now);
  void Result(const std::string &code, Micros at);
  // Completes an escape whose closing guard time has passed by `now`.
  void CheckEscape(Micros now);

  ByteLine &behind_;
  ModemTiming timing_;
  DialResult dialResult_ = DialResult::kConnect;
  int speed_ = 9600;
  bool echoLost_ = false;
  bool echo_ = true;
  bool quiet_ = false;
  int s7_ = 50;
  bool connected_ = false;
  bool dataMode_ = false;
  Micros connectAt_ = 0;  // the call comes up then, when one is being made
  bool dialing_ = false;
  std::string number_;
  std::string line_;
  std::string held_;  // "+" bytes that may be an escape
  Micros lastByteAt_ = 0;
  bool anyByte_ = false;
  std::vector<std::string> commands_;
  TimedOutput output_;
};

}  // namespace veldc::sim
