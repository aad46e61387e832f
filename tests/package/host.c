/* A host built against the installed library: the simulated terminal's time over a pty. */
#include <stdio.h>
#include <veldc.h>
int main(int argc, char **argv) {
  char time[VELDC_REPLY_SIZE], error[VELDC_ERROR_TEXT_SIZE];
  int ok = argc == 2 && SetPortName(1, argv[1]) >= 0 &&
           InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0) >= 0 && SetTerminal(0) >= 0 &&
           GetTime(time) >= 0;
  if (ok)
    printf("time %s\n", time);
  else
    fprintf(stderr, "host: error %d: %s\n", GetError(error), error);
  return ExitCOMM() < 0 || !ok;
}
