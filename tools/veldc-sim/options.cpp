#include "options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "files.h"

namespace veldc::simtool {

void AddOptions(CLI::App &app, Options *o) {
  auto *kind = app.add_option_group("link", "The kind of line served (one of them)");
  kind->add_flag("--direct", o->direct, "A COM port wired to one terminal (address 0; default)");
  kind->add_flag("--logon", o->logon,
                 "A line shared by terminals 0..31 that take turns with LOGON nnn / LOGOFF");
  kind->add_flag("--network", o->network,
                 "A terminal-network interface: frames nnn<command>, selection with >PSnnn");
  kind->require_option(0, 1);

  app.add_option("--device", o->device, "Serve on this existing device instead of creating a pty");
  app.add_option("-t,--terminal", o->terminals,
                 "A terminal as ADDR[:MODEL[:CARD[:PASSWORD]]], MODEL one of Veld, Sorvik, Dulm, "
                 "Qyr, CARD the RAM card letter (default F), PASSWORD its own log-on password; "
                 "repeat for several. Default: one Veld at address 0 (1 on --network)");
  app.add_option("--password", o->password, "Log-on password of every terminal (parameter 89)");
  app.add_flag("--locked", o->locked, "Terminals start locked: they answer \"..\" until PW");
  app.add_flag("--echo", o->echo, "The line echoes every command before the reply");
  app.add_flag("--leading-lf", o->leadingLineFeed,
               "Put a line feed in front of every reply line (--direct)");
  app.add_option("--files", o->filesDir,
                 "Preload drive C with the files of this directory, one record per line");
  app.add_option("--save", o->saveDir,
                 "Write every file and program the host downloads into this directory");
  app.add_option("--message", o->messages,
                 "A line the first terminal sends on its own, one a second from the start; "
                 "repeatable");
  app.add_option("--reply-delay", o->replyDelayMs, "Milliseconds before a reply (default 20)");
  app.add_option("--line-gap", o->lineGapMs, "Milliseconds between reply lines (default 2)");

  app.add_flag("--modem", o->modem, "Put a Hayes modem in front of the line");
  app.add_option("--modem-speed", o->modemSpeed, "Speed in the CONNECT line (default 9600)");
  app.add_option("--dial-result", o->dialResult, "How a dial ends (default connect)")
      ->check(CLI::IsMember({"connect", "busy", "no-carrier", "silent"}));

  auto *faults = app.add_option_group("faults", "Misbehaviour, of every terminal by default");
  faults->add_option("--fault-terminal", o->faultTerminal, "Only this address misbehaves");
  faults->add_flag("--silent", o->silent, "Answer nothing at all");
  faults->add_option("--delay", o->delayMs, "Extra milliseconds before every reply");
  faults->add_option("--garbage", o->garbage,
                     "Bytes sent in front of every reply (\\xHH, \\r and \\n understood)");
  faults->add_option("--wrong-address", o->wrongAddress,
                     "Replies carry this address (--network and the Kov74 driver)");
  faults->add_option("--refuse", o->refuse,
                     "Answer this command word with ?? instead of its echo (RECORD: records of a "
                     "load, EOT: the EOT command); repeatable");
  faults->add_option("--wrong-count", o->wrongCount, "Add this to every count reported");
  faults->add_option("--wrong-checksum", o->wrongChecksum, "Add this to every file checksum");
  faults->add_option("--cut-after", o->cutAfter,
                     "Transfers stop after this many lines; loads stop echoing");
  faults->add_option("--cut-chance", o->cutChance, "Percent of file transfers cut off at random")
      ->check(CLI::Range(0, 100));
  faults->add_option("--fault-seed", o->faultSeed,
                     "Seed of the random faults (--cut-chance, --pelo-drop-chance)");
  faults->add_flag("--unended", o->unended, "The first reply line never gets its carriage return");
  faults
      ->add_option("--network-failure", o->networkFailure,
                   "The interface answers every frame with ~S (send) or ~R (receive)")
      ->check(CLI::IsMember({"none", "send", "receive"}));
}

bool ParseTerminal(const std::string &text, TerminalSpec *spec) {
  const size_t first = text.find(':');
  const std::string address = text.substr(0, first);
  if (address.empty() || address.size() > 3 ||
      address.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  spec->address = std::atoi(address.c_str());
  if (spec->address > 254) return false;
  if (first == std::string::npos) return true;
  const size_t second = text.find(':', first + 1);
  spec->model =
      text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  if (spec->model != "Veld" && spec->model != "Sorvik" && spec->model != "Dulm" &&
      spec->model != "Qyr") {
    return false;
  }
  if (second == std::string::npos) return true;
  const size_t third = text.find(':', second + 1);
  const std::string card =
      text.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
  if (card.size() != 1) return false;
  spec->ramCard = card[0];
  if (third == std::string::npos) return true;
  spec->password = text.substr(third + 1);
  return !spec->password.empty() && spec->password.size() <= 5;
}

std::unique_ptr<sim::Terminal> MakeTerminal(const Options &o, const TerminalSpec &spec) {
  auto terminal = std::make_unique<sim::Terminal>(spec.model, spec.address, spec.ramCard);
  const std::string &password = spec.password.empty() ? o.password : spec.password;
  if (!password.empty()) terminal->SetPassword(password);
  terminal->SetLocked(o.locked);
  terminal->SetEchoLine(o.echo);
  if (o.faultTerminal < 0 || o.faultTerminal == spec.address) terminal->Faults() = FaultsOf(o);
  if (!o.filesDir.empty() && LoadFiles(o.filesDir, terminal.get()) < 0) {
    std::fprintf(stderr, "veldc-sim: cannot read %s\n", o.filesDir.c_str());
    return nullptr;
  }
  return terminal;
}

bool MakeTerminals(const Options &o, bool network,
                   std::vector<std::unique_ptr<sim::Terminal>> *terminals) {
  std::vector<std::string> specs = o.terminals;
  if (specs.empty()) specs.push_back(network ? "1" : "0");
  for (const std::string &text : specs) {
    TerminalSpec spec;
    if (!ParseTerminal(text, &spec)) {
      std::fprintf(stderr, "veldc-sim: bad terminal \"%s\"\n", text.c_str());
      return false;
    }
    auto terminal = MakeTerminal(o, spec);
    if (!terminal) return false;
    terminals->push_back(std::move(terminal));
  }
  for (size_t i = 0; i < o.messages.size(); ++i) {
    terminals->front()->QueueMessage(o.messages[i], (i + 1) * 1000 * sim::kMillis);
  }
  return true;
}

std::string Unescape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    if (next == 'r') {
      out += '\r';
    } else if (next == 'n') {
      out += '\n';
    } else if (next == 'x' && i + 2 < text.size() &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += next;
    }
  }
  return out;
}

sim::TerminalFaults FaultsOf(const Options &o) {
  sim::TerminalFaults f;
  f.silent = o.silent;
  f.replyDelay = static_cast<sim::Micros>(o.delayMs) * sim::kMillis;
  f.garbage = Unescape(o.garbage);
  f.replyAddress = o.wrongAddress;
  f.refusedWords.insert(o.refuse.begin(), o.refuse.end());
  f.countOffset = o.wrongCount;
  f.checksumOffset = o.wrongChecksum;
  f.cutAfterLines = o.cutAfter;
  f.cutChance = o.cutChance;
  f.cutSeed = o.faultSeed;
  f.unendedLine = o.unended;
  return f;
}

}  // namespace veldc::simtool
