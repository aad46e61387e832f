// The signed checksum that ends a typed file, which the library compares with its own and no
// round trip of plain text reaches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/terminal.h"

namespace veldc::sim {
namespace {

const std::string kEot = "\x04";

TEST(TerminalTest, TypeChecksumUsesSignedBytesAndKeepsTheSign) {
  Terminal terminal;
  // Each 0xFF counts -1; 300 of them sum to -300.
  terminal.PutFile('C', "HIGH", {std::string(150, '\xff'), std::string(150, '\xff')});
  std::vector<std::string> reply = terminal.Handle("TYPE HIGH", 0);
  ASSERT_EQ(reply.size(), 4u);
  EXPECT_EQ(reply.back(), kEot + "2 RECS -300");
  // 400 records of 100 'z' (122) sum to 4880000, which is 30336 modulo 32768.
  terminal.PutFile('C', "BIG", std::vector<std::string>(400, std::string(100, 'z')));
  EXPECT_EQ(terminal.Handle("TYPE BIG", 0).back(), kEot + "400 RECS 30336");
}

}  // namespace
}  // namespace veldc::sim
