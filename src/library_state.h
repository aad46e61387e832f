// Every global of the library back to its load-time value; for tests, which run many
// "library loads" in one process.
#pragma once

namespace veldc {

void ResetLibraryState();

}  // namespace veldc
