// A promise the code under fuzzing makes; a broken one aborts, which the fuzzer reports as a
// crash.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace veldc::fuzz {

inline void Check(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

}  // namespace veldc::fuzz
