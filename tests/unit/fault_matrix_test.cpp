// Each service on each family, with every platform call it makes failed at each occurrence.
#include <map>
#include <set>

#include "sim/direct_line.h"
#include "sim/terminal.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

enum class Family { kSerial, kPelo, kKov74 };

const std::string kRecords = "R1\r\nR2\r\nR3\r\n";

// A family's device opened and selected, the simulated terminal behind it, the meter on, short
// time-outs, the PC files in a directory of their own.
struct World {
  explicit World(Family family) : terminal("Veld", family == Family::kSerial ? 0 : 5) {
    terminal.PutFile('C', "DATA", {"R1", "R2", "R3"});
    files.Write("in.txt", kRecords);
    Set232TimeOut(1);
    SetWinSockTimeOut(1);
    if (family == Family::kSerial) {
      serial.emplace(line.emplace(terminal));
      vp.AttachSerial(&*serial);
      opened = InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0) > 0;
    } else if (family == Family::kPelo) {
      pelo.emplace(vp).adapter.AttachTerminal(&terminal);
      opened = InitCOMM(5002, DEV_PELO, 0, 0) > 0 && SetIPAddress("192.168.0.10") == 0;
    } else {
      network.AddTerminal(&terminal);
      vp.SetKov74(&kov74.emplace(network));
      opened = InitCOMM(1, DEV_KOV74_MODE0, 0, 0) > 0;
    }
    opened = opened && SetTerminal(terminal.Address()) == 0;
    EnableMeter(1);
    vp.ClearLog();
  }
  ~World() {
    EnableMeter(0);
    ExitCOMM();
  }

  VirtualPlatform vp;  // first: the models below outlive no platform call
  TempDir files;
  bool opened = false;
  sim::Terminal terminal;
  std::optional<sim::DirectLine> line;
  std::optional<SerialLink> serial;
  std::optional<SimPeloLink> pelo;
  sim::Kov74Network network;
  std::optional<Kov74Link> kov74;
};

struct Outcome {
  int result = 0;
  std::string text, pcFile, terminalState;
  bool pcFileExists = false;
  auto Key() const { return std::tie(result, text, pcFile, terminalState, pcFileExists); }
};

enum class PcFile { kNone, kRead, kWritten };

struct Operation {
  const char *name;
  PcFile pcFile;
  std::function<int(World &, char *text)> run;  // `text`: 256 bytes the service may fill
};

const std::vector<Operation> &Operations() {
  static char data[] = "DATA";  // the services turn names to capitals in place
  static const std::vector<Operation> ops = {
      {"SendFile", PcFile::kRead,
       [](World &w, char *) {
         char name[] = "NEW";
         return SendFile(w.files.Path("in.txt").c_str(), name, 0, 0);
       }},
      {"SendPrg", PcFile::kRead,
       [](World &w, char *) { return SendPrg(w.files.Path("in.txt").c_str()); }},
      {"RecvFile", PcFile::kWritten,
       [](World &w, char *) { return RecvFile(data, w.files.Path("out.txt").c_str()); }},
      {"ViewFile", PcFile::kNone, [](World &, char *text) { return ViewFile(data, text, 256); }},
      {"DeleFile", PcFile::kNone, [](World &, char *) { return DeleFile(data); }},
      {"GetParameter", PcFile::kNone, [](World &, char *text) { return GetParameter(12, text); }},
      {"SendCommand", PcFile::kNone, [](World &, char *text) { return SendCommand("%XI", text); }},
  };
  return ops;
}

Outcome Perform(World &w, const Operation &op) {
  Outcome o;
  char text[256] = {};
  o.result = op.run(w, text);
  o.text = text;
  const char *file = op.pcFile == PcFile::kWritten ? "out.txt" : "in.txt";
  o.pcFileExists = w.files.Exists(file);
  o.pcFile = w.files.Read(file);
  for (const auto &f : w.terminal.Files('C')) {
    o.terminalState += f.first + ":";
    for (const auto &r : f.second.records) o.terminalState += r + ",";
    o.terminalState += ";";
  }
  o.terminalState += "program:" + std::to_string(w.terminal.ProgramLoads());
  return o;
}

// Window calls report no failure of their own, so they are not failed.
const std::set<Call> kWindowCalls = {Call::MeterShow, Call::MeterSetItemText, Call::MeterSetItemInt,
                                     Call::MeterSendProgress, Call::MeterDestroy};

// Every file opened by the service is closed by it, on success and on failure.
int OpenFilesLeft(const VirtualPlatform &vp) {
  int open = 0;
  for (const auto &e : vp.Log()) {
    if ((e.call == Call::FileOpenRead || e.call == Call::FileCreate) && !e.failed) ++open;
    if (e.call == Call::FileClose) --open;
  }
  return open;
}

class FaultMatrix : public ::testing::TestWithParam<Family> {};

TEST_P(FaultMatrix, EveryCallFailedAtEveryOccurrence) {
  int cells = 0;
  for (const Operation &op : Operations()) {
    SCOPED_TRACE(op.name);
    std::map<Call, int> occurrences;
    Outcome good;
    {
      World w(GetParam());
      ASSERT_TRUE(w.opened);
      good = Perform(w, op);
      ASSERT_GE(good.result, 0) << ErrorState();
      EXPECT_TRUE(op.pcFile != PcFile::kWritten || good.pcFile == kRecords);
      EXPECT_TRUE(std::string(op.name) != "SendFile" ||
                  good.terminalState.find("NEW:R1,R2,R3,;") != std::string::npos);
      for (const auto &e : w.vp.Log()) {
        if (kWindowCalls.count(e.call) == 0) ++occurrences[e.call];
      }
    }
    for (const auto &[call, count] : occurrences) {
      for (int n = 1; n <= count; ++n, ++cells) {
        SCOPED_TRACE("call " + std::to_string(static_cast<int>(call)) + " failed at occurrence " +
                     std::to_string(n) + " of " + std::to_string(count));
        World w(GetParam());
        ASSERT_TRUE(w.opened);
        w.vp.Fail(call, n);
        const Outcome got = Perform(w, op);
        const std::string error = ErrorState();
        EXPECT_FALSE(w.terminal.Loading()) << "a load is left open on the terminal";
        EXPECT_EQ(OpenFilesLeft(w.vp), 0) << "a PC file is left open";
        EXPECT_EQ(w.vp.OpenMeterCount(), 0) << "the meter is left open";
        EXPECT_TRUE(op.pcFile != PcFile::kRead || got.pcFile == kRecords) << "PC file changed";
        if (got.result >= 0) {
          EXPECT_TRUE(got.Key() == good.Key())
              << "a success unlike the good run's: " << got.result << " " << got.text << " / "
              << good.text << "; " << error;
          continue;
        }
        EXPECT_NE(error.substr(0, 2), "0 ") << "a failure without a code";
        // A file a failed download leaves on the terminal is whole (the load was closed, only
        // the PC side failed after it) or empty (a load command whose echo never came).
        const auto kept = w.terminal.Files('C').find("NEW");
        EXPECT_TRUE(kept == w.terminal.Files('C').end() || kept->second.records.empty() ||
                    kept->second.records == std::vector<std::string>({"R1", "R2", "R3"}))
            << error;
        // An upload's PC file is gone, or complete when only closing it failed.
        EXPECT_TRUE(op.pcFile != PcFile::kWritten ||
                    (error.rfind("67 ", 0) == 0 ? got.pcFile == good.pcFile : !got.pcFileExists))
            << error;
      }
    }
  }
  EXPECT_GT(cells, 0);
}

INSTANTIATE_TEST_SUITE_P(Families, FaultMatrix,
                         ::testing::Values(Family::kSerial, Family::kPelo, Family::kKov74),
                         [](const auto &info) {
                           return Lines({"Serial", "Pelo", "Kov74"})[static_cast<int>(info.param)];
                         });

}  // namespace
}  // namespace veldc::test
