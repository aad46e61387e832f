// The device a session talks to (--link and the options around it) and the session itself:
// open the device once, select the terminal once, close both at the end.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "status.h"

namespace veldc::cli {

class BuiltinSimulator;

enum class LinkKind { kSim, kDirect, kNetwork, kLogon, kKov74, kPelo };

struct LinkSpec {
  LinkKind kind = LinkKind::kSim;
  int port = 1;        // COM port 1..4, or the Pelo's UDP port
  std::string device;  // a device path for the serial kinds, mapped onto COM port 1
  int kov74Mode = 0;   // 0, 1 or 2
  std::string ip;      // the Pelo's IPv4 address
};

// "sim", "direct:DEV", "network:DEV", "logon:DEV", "kov74:N[:MODE]", "pelo:IP:UDPPORT";
// DEV is a COM port number 1..4 or a device path.
bool ParseLink(const std::string &text, LinkSpec *link, std::string *error);
// "0".."4" or the names 8N1, 7O1, 7E1, 8O1, 8E1 (and -1 for the Kov74 driver).
bool ParseFormat(const std::string &text, int *format, std::string *error);
// InitCOMM's device kind for a link (the built-in simulator is a direct line).
int DeviceKindOf(const LinkSpec &link);
const char *LinkKindName(LinkKind kind);

struct SessionOptions {
  LinkSpec link;
  bool linkGiven = false;
  int speed = -1;  // -1: the link's usual speed
  int format = 0;
  int address = -1;  // -1: the link's usual first terminal
  std::string password;
  int timeout = 0;      // seconds; 0 keeps the library's default
  int peloTimeout = 0;  // seconds; 0 keeps the library's default
  std::string dialNumber;
  std::string dialInit;
  int dialTimeout = 60;
  std::string model = "Veld";  // the built-in simulator's terminal
  // Told when the built-in simulator starts, since no device was named.
  std::function<void(const std::string &)> note;
  // The last line the port brought in (a modem's answer), for saying why a dial failed.
  std::function<std::string()> lastLineHeard;
};

class Session {
 public:
  explicit Session(SessionOptions options);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Opens the device on first use (and dials, when a number was given).
  Status Open();
  // Opens, then selects the terminal on first use.
  Status Selected();
  // Selects another terminal: thoroughly (SetTerminal) or only by address (ChgTerminal).
  Status Select(int address, bool quick);
  // Hangs up a call this session made and closes the device; safe to call twice.
  void Close();

  int Address() const;
  // The next terminal of a run over several: selected at its first command.
  void SetAddress(int address);
  // A call this session's commands made (dial), to be hung up at the end; hangup clears it.
  void MarkDialled(bool dialled) { dialed_ = dialled; }
  const SessionOptions &Options() const { return options_; }
  bool UsesSimulator() const { return options_.link.kind == LinkKind::kSim; }

 private:
  SessionOptions options_;
  std::unique_ptr<BuiltinSimulator> simulator_;
  bool open_ = false;
  bool selected_ = false;
  bool dialed_ = false;
  bool portNamed_ = false;
  int address_ = -1;
};

}  // namespace veldc::cli
