// veldc fleet: collect from many devices at once into one store, and read the store back.
#pragma once

namespace veldc::fleet {

// `argv[0]` is "fleet". Returns the exit status.
int Main(int argc, char **argv);

}  // namespace veldc::fleet
