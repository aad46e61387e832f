#include "link.h"

#include "builtin_sim.h"
#include "interrupt.h"
#include "text_args.h"
#include "veldc.h"

namespace veldc::cli {
namespace {

constexpr int kWrongParameters = 3;  // the library's "Wrong parameters"
constexpr int kResetIgnored = 43;    // "Reset command ignored": nobody took the reset
constexpr int kNoIdReply = 46;       // "No reply to ID request"
constexpr int kDialReply = 83;       // "Bad reply to dial command"

// The library's error, with the step of the session that met it.
Status Failed(const std::string &step) {
  Status status = Status::FromLibrary();
  status.message += " (" + step + ")";
  return status;
}

bool ParseDevice(const std::string &text, LinkSpec *link, std::string *error) {
  if (text.empty()) {
    *error = "the link needs a COM port number 1 to 4 or a device path, like direct:/dev/ttyUSB0";
    return false;
  }
  int port = 0;
  if (ParseInt(text, 1, 4, &port)) {
    link->port = port;
    return true;
  }
  if (text.find('/') == std::string::npos && text.find('\\') == std::string::npos) {
    *error = "\"" + text + "\" is neither a COM port number 1 to 4 nor a device path";
    return false;
  }
  link->port = 1;
  link->device = text;
  return true;
}

}  // namespace

bool ParseLink(const std::string &text, LinkSpec *link, std::string *error) {
  *link = LinkSpec{};
  size_t colon = text.find(':');
  std::string kind = text.substr(0, colon);
  std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (kind == "sim") {
    if (!rest.empty()) {
      *error = "the built-in simulator takes no argument; choose its terminal with --model";
      return false;
    }
    link->kind = LinkKind::kSim;
    return true;
  }
  if (kind == "direct" || kind == "network" || kind == "logon") {
    link->kind = kind == "direct"    ? LinkKind::kDirect
                 : kind == "network" ? LinkKind::kNetwork
                                     : LinkKind::kLogon;
    return ParseDevice(rest, link, error);
  }
  if (kind == "kov74") {
    link->kind = LinkKind::kKov74;
    size_t modeColon = rest.find(':');
    std::string mode = modeColon == std::string::npos ? "0" : rest.substr(modeColon + 1);
    if (!ParseInt(rest.substr(0, modeColon), 1, 4, &link->port)) {
      *error = "kov74 needs a COM port number 1 to 4, like kov74:1";
      return false;
    }
    if (!ParseInt(mode, 0, 2, &link->kov74Mode)) {
      *error = "the Kov74 driver mode is 0, 1 or 2, not \"" + mode + "\"";
      return false;
    }
    return true;
  }
  if (kind == "pelo") {
    link->kind = LinkKind::kPelo;
    size_t portColon = rest.rfind(':');
    if (portColon == std::string::npos || portColon == 0 ||
        !ParseInt(rest.substr(portColon + 1), 1, 65535, &link->port)) {
      *error = "pelo needs an IPv4 address and a UDP port 1 to 65535, like pelo:192.168.1.50:2000";
      return false;
    }
    link->ip = rest.substr(0, portColon);
    return true;
  }
  *error = "unknown link \"" + text + "\" (sim, direct:DEV, network:DEV, logon:DEV, " +
           "kov74:N[:MODE], pelo:IP:PORT)";
  return false;
}

bool ParseFormat(const std::string &text, int *format, std::string *error) {
  static const char *const kNames[] = {"8N1", "7O1", "7E1", "8O1", "8E1"};
  for (int i = 0; i < 5; ++i) {
    if (text == kNames[i]) {
      *format = i;
      return true;
    }
  }
  if (ParseInt(text, -1, 4, format)) return true;
  *error = "character format is 0 to 4 or 8N1, 7O1, 7E1, 8O1, 8E1, not \"" + text + "\"";
  return false;
}

int DeviceKindOf(const LinkSpec &link) {
  switch (link.kind) {
    case LinkKind::kSim:
    case LinkKind::kDirect:
      return DEV_SERIAL_DIRECT;
    case LinkKind::kNetwork:
      return DEV_SERIAL_NETWORK;
    case LinkKind::kLogon:
      return DEV_SERIAL_LOGON;
    case LinkKind::kKov74:
      return link.kov74Mode == 0   ? DEV_KOV74_MODE0
             : link.kov74Mode == 1 ? DEV_KOV74_MODE1
                                   : DEV_KOV74_MODE2;
    case LinkKind::kPelo:
      return DEV_PELO;
  }
  return DEV_NONE;
}

const char *LinkKindName(LinkKind kind) {
  switch (kind) {
    case LinkKind::kSim:
      return "sim";
    case LinkKind::kDirect:
      return "direct";
    case LinkKind::kNetwork:
      return "network";
    case LinkKind::kLogon:
      return "logon";
    case LinkKind::kKov74:
      return "kov74";
    case LinkKind::kPelo:
      return "pelo";
  }
  return "?";
}

Session::Session(SessionOptions options) : options_(std::move(options)) {}

Session::~Session() { Close(); }

int Session::Address() const {
  if (address_ >= 0) return address_;
  if (options_.address >= 0) return options_.address;
  // Network interfaces and the Kov74 network number terminals from 1; single lines use 0.
  LinkKind kind = options_.link.kind;
  return kind == LinkKind::kNetwork || kind == LinkKind::kKov74 || kind == LinkKind::kPelo ? 1 : 0;
}

void Session::SetAddress(int address) {
  options_.address = address;
  address_ = -1;
  selected_ = false;
}

Status Session::Open() {
  if (open_) return Status::Ok();
  const LinkSpec &link = options_.link;
  // The library judges the values; 0 means none was given.
  if (options_.timeout != 0 && Set232TimeOut(options_.timeout) != 0) return Failed("--timeout");
  if (options_.peloTimeout != 0 && SetWinSockTimeOut(static_cast<short>(options_.peloTimeout)) != 0)
    return Failed("--pelo-timeout");

  std::string device = link.device;
  if (link.kind == LinkKind::kSim) {
    std::string error;
    simulator_ = BuiltinSimulator::Start(options_.model, &error);
    if (!simulator_) return {kUnknownFailure, "built-in simulator: " + error};
    device = simulator_->DevicePath();
    if (options_.note) {
      options_.note("no --link given: using the built-in simulated terminal (" + options_.model +
                    " on " + device + ")");
    }
  }
  if (!device.empty()) {
    if (SetPortName(link.port, device.c_str()) != 0) return Failed("naming the port " + device);
    portNamed_ = true;
  }

  bool serial = link.kind != LinkKind::kKov74 && link.kind != LinkKind::kPelo;
  int speed = options_.speed >= 0 ? options_.speed : serial ? 9600 : 0;
  int format = link.kind == LinkKind::kPelo ? 0 : options_.format;
  if (InitCOMM(link.port, DeviceKindOf(link), speed, format) < 0) {
    return Failed("opening the " + std::string(LinkKindName(link.kind)) + " link");
  }
  open_ = true;

  if (link.kind == LinkKind::kPelo && SetIPAddress(link.ip.c_str()) != 0)
    return Failed("connecting to the Pelo at " + link.ip);
  if (!options_.password.empty() && SetPassword(options_.password.c_str()) != 0)
    return Failed("--password");
  if (!options_.dialNumber.empty()) {
    const char *init = options_.dialInit.empty() ? nullptr : options_.dialInit.c_str();
    if (DialNumber(init, options_.dialNumber.c_str(), options_.dialTimeout) != 0) {
      // Cut short, the call may still have reached the far modem: hang up at the end.
      dialed_ = Interrupted() != 0;
      const std::string heard = options_.lastLineHeard ? options_.lastLineHeard() : "";
      return Failed("--dial").Means(kDialReply, "modem: " + (heard.empty() ? "no answer" : heard));
    }
    dialed_ = true;
  }
  return Status::Ok();
}

Status Session::Selected() {
  Status status = Open();
  // Opening drops a cancel request made before it (InitCOMM does): an interrupt that came
  // while the device opened is kept by the tool instead.
  if (status.ok() && Interrupted() != 0) return {VELDC_ERR_CANCELLED, "Operation cancelled"};
  if (!status.ok() || selected_) return status;
  status = Select(Address(), false);
  // A Pelo serves a network (terminals 1..254) or a single terminal (0); only the adapter
  // knows which, and the library refuses the wrong address before sending anything.
  if (status.code == kWrongParameters && options_.link.kind == LinkKind::kPelo &&
      options_.address < 0) {
    status = Select(0, false);
  }
  return status;
}

Status Session::Select(int address, bool quick) {
  Status status = Open();
  if (!status.ok()) return status;
  selected_ = false;
  int result = quick ? ChgTerminal(address) : SetTerminal(address);
  if (result != 0) {
    const std::string none = "no terminal answers at address " + std::to_string(address);
    return Status::FromLibrary().Means(kResetIgnored, none).Means(kNoIdReply, none);
  }
  address_ = address;
  selected_ = true;
  return Status::Ok();
}

void Session::Close() {
  if (open_) {
    if (dialed_) HangUp();
    ExitCOMM();
  }
  open_ = selected_ = dialed_ = false;
  if (portNamed_) SetPortName(options_.link.port, nullptr);
  portNamed_ = false;
  simulator_.reset();
}

}  // namespace veldc::cli
