// One line for a call's result and the error state it left, so that a check of a failure
// names both: EXPECT_EQ(Outcome(SendCommand(...)), "-1 79 WinSocket timeout expired").
#pragma once

#include <string>

#include "support/fixture.h"

namespace veldc::test {

inline std::string Outcome(int result) { return std::to_string(result) + " " + ErrorState(); }

}  // namespace veldc::test
