/*
 * A host linked against VELDC.DLL's import library and compiled with veldc.h, as a C or C++
 * program would be. Reads a terminal's date over a COM port.
 *
 * usage: host_linked [port] [kind] [speed] [address]   (default: COM1, direct, 9600, 0)
 */
#include <stdio.h>
#include <stdlib.h>

#include "veldc.h"

static int Report(const char *call) {
  char message[VELDC_ERROR_TEXT_SIZE];
  fprintf(stderr, "%s failed: %d %s\n", call, GetError(message), message);
  return 1;
}

int main(int argc, char **argv) {
  const int port = argc > 1 ? atoi(argv[1]) : 1;
  const int kind = argc > 2 ? atoi(argv[2]) : DEV_SERIAL_DIRECT;
  const int speed = argc > 3 ? atoi(argv[3]) : 9600;
  const int address = argc > 4 ? atoi(argv[4]) : 0;
  char date[VELDC_REPLY_SIZE];
  int failed = 0;

  if (InitCOMM(port, kind, speed, 0) < 0) return Report("InitCOMM");
  printf("port handle %p\n", hCommId);
  if (SetTerminal(address) < 0) {
    failed = Report("SetTerminal");
  } else if (GetDate(date) < 0) {
    failed = Report("GetDate");
  } else {
    printf("date %s\n", date);
  }
  if (ExitCOMM() < 0) failed = Report("ExitCOMM");
  return failed;
}
