// What the fuzz targets share: a promise the code under fuzzing makes (a broken one aborts,
// which the fuzzer reports as a crash), and the entry of a source that builds several targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace veldc::fuzz {

inline void Check(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

}  // namespace veldc::fuzz

// The fuzzer's entry: the one of `entries` that VELDC_FUZZ_ENTRY (set per target) picks.
#define VELDC_FUZZ_ENTRIES(...)                                               \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {   \
    static void (*const kEntries[])(const uint8_t *, size_t) = {__VA_ARGS__}; \
    kEntries[VELDC_FUZZ_ENTRY](data, size);                                   \
    return 0;                                                                 \
  }
