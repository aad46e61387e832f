#include "app.h"

int main(int argc, char **argv) { return veldc::cli::Run(argc, argv); }
