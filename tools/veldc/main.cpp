#include <cstring>

#include "app.h"
#include "fleet.h"

int main(int argc, char **argv) {
  // The fleet coordinator is its own program sharing the binary: its workers are this veldc.
  if (argc > 1 && std::strcmp(argv[1], "fleet") == 0) return veldc::fleet::Main(argc - 1, argv + 1);
  return veldc::cli::Run(argc, argv);
}
