// The simulated terminal's answers where no library test against it looks: edge cases of its
// commands and the signed checksum that ends a typed file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/terminal.h"

namespace veldc::sim {
namespace {

const std::string kEot = "\x04";

using Lines = std::vector<std::string>;

struct Case {
  const char *name;
  std::string command;
  Lines reply;
};

class TerminalTest : public ::testing::Test {
 protected:
  TerminalTest() : terminal_("Veld", 0, 'P') {
    terminal_.SetClock("235958", "3991231", 0);
    terminal_.SetParameter(7, "BADGE 42");
    terminal_.PutFile('C', "DATA", {"AB", "CD"});
    terminal_.PutFile('C', "LONGNAME", {"x"});
    terminal_.PutFile('A', "OTHER", {});
  }
  Terminal terminal_;
};

TEST_F(TerminalTest, AnswersEachCommandOfTheHost) {
  const std::vector<Case> cases = {
      {"reset", "%%", {"!!! RESET"}},
      {"empty command gives the prompt", "", {"Veld>"}},
      {"date", "DATE", {"DATE 3991231"}},
      {"bad time refused", "TIME 240000", {"??"}},
      {"set date is echoed", "DATE 3000229", {"DATE 3000229"}},
      {"bad date refused", "DATE 3000230", {"??"}},
      {"short date refused", "DATE 1", {"??"}},
      {"short time refused", "TIME 1", {"??"}},
      {"parameter value from the 8th character", "CFG 07", {"CFG 07 BADGE 42"}},
      {"empty parameter", "CFG 08", {"CFG 08 "}},
      {"empty parameter write echoed", "CFG 05 ", {"CFG 05 "}},
      {"parameter number must be two digits", "CFG 5", {"??"}},
      {"drive change echoed", "CD A", {"CD A"}},
      {"unknown drive refused", "CD D", {"??"}},
      {"listing", "DIR", {"DIR C:", "DATA     8", "LONGNAME 3", kEot + "2"}},
      {"listing of a missing name", "DIR NONE", {"DIR NONE", kEot + "0"}},
      {"eight characters answer in the reply", "DIR DATA    ", {"DIR DATA     8"}},
      {"type of a missing file", "TYPE NONE", {"??"}},
      {"delete of a missing file", "DEL NONE", {"??"}},
      {"echo probe on a plain line", "QRX", {"??"}},
      {"password when not locked", "PW 80264", {"PW 80264"}},
      {"unknown command", "HELLO", {"??"}},
  };
  for (const Case &c : cases) {
    Terminal terminal = terminal_;
    EXPECT_EQ(terminal.Handle(c.command, 0), c.reply) << c.name;
  }
}

TEST_F(TerminalTest, TypeChecksumUsesSignedBytesAndKeepsTheSign) {
  // Each 0xFF counts -1; 300 of them sum to -300.
  terminal_.PutFile('C', "HIGH", {std::string(150, '\xff'), std::string(150, '\xff')});
  Lines reply = terminal_.Handle("TYPE HIGH", 0);
  ASSERT_EQ(reply.size(), 4u);
  EXPECT_EQ(reply.back(), kEot + "2 RECS -300");
  // 400 records of 100 'z' (122) sum to 4880000, which is 30336 modulo 32768.
  terminal_.PutFile('C', "BIG", std::vector<std::string>(400, std::string(100, 'z')));
  EXPECT_EQ(terminal_.Handle("TYPE BIG", 0).back(), kEot + "400 RECS 30336");
}

}  // namespace
}  // namespace veldc::sim
