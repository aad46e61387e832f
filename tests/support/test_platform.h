// The virtual platform installed for one test, with every global of the library put back to
// its load-time value before the test and after it: one test process plays many library loads.
#pragma once

#include "library_state.h"
#include "platform/virtual/virtual_platform.h"

namespace veldc::test {

class TestPlatform : public platform::virt::VirtualPlatform {
 public:
  TestPlatform() { ResetLibraryState(); }
  ~TestPlatform() override { ResetLibraryState(); }
};

}  // namespace veldc::test
