/*
 * A host that uses VELDC.DLL the way VB and Delphi programs do: no import library, no header
 * at link time, every entry point looked up by name with GetProcAddress.
 *
 * usage: host_loadlibrary [port] [kind] [speed] [format] [address]
 *   defaults: COM1, a directly wired terminal (kind 3), 9600 baud, 8N1, address 0.
 * Opens the port, selects the terminal, reads its time and date, and closes the port. Exit status 0
 * when every call succeeded.
 */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

typedef int(WINAPI *GetErrorFn)(char *message);
typedef int(WINAPI *InitCommFn)(int port, int kind, int speed, int format);
typedef int(WINAPI *NoArgFn)(void);
typedef int(WINAPI *IntArgFn)(int value);
typedef int(WINAPI *TextOutFn)(char *text);

static HMODULE veldc;

static FARPROC Entry(const char *name) {
  FARPROC p = GetProcAddress(veldc, name);
  if (p == NULL) {
    fprintf(stderr, "VELDC.DLL has no entry point %s\n", name);
    exit(2);
  }
  return p;
}

/* Prints the library's error after a failed call; returns the call's result. */
static int Check(const char *call, int result) {
  char message[40];
  if (result >= 0) return result;
  ((GetErrorFn)(void *)Entry("GetError"))(message);
  fprintf(stderr, "%s failed: %s\n", call, message);
  return result;
}

int main(int argc, char **argv) {
  const int port = argc > 1 ? atoi(argv[1]) : 1;
  const int kind = argc > 2 ? atoi(argv[2]) : 3;
  const int speed = argc > 3 ? atoi(argv[3]) : 9600;
  const int format = argc > 4 ? atoi(argv[4]) : 0;
  const int address = argc > 5 ? atoi(argv[5]) : 0;
  char reply[131];
  char version[12];
  int failed = 0;
  void **port_handle;

  veldc = LoadLibraryA("VELDC.DLL");
  if (veldc == NULL) {
    fprintf(stderr, "cannot load VELDC.DLL (error %lu)\n", (unsigned long)GetLastError());
    return 2;
  }
  /* The exported variable: GetProcAddress gives its address. */
  port_handle = (void **)(void *)Entry("hCommId");

  if (Check("GetVeldcVersion", ((TextOutFn)(void *)Entry("GetVeldcVersion"))(version)) == 0) {
    printf("VELDC version %s\n", version);
  }

  if (Check("InitCOMM", ((InitCommFn)(void *)Entry("InitCOMM"))(port, kind, speed, format)) < 0) {
    FreeLibrary(veldc);
    return 1;
  }
  printf("port open, handle %p\n", *port_handle);
  if (Check("SetTerminal", ((IntArgFn)(void *)Entry("SetTerminal"))(address)) < 0) {
    failed = 1;
  } else {
    if (Check("GetTime", ((TextOutFn)(void *)Entry("GetTime"))(reply)) == 0) {
      printf("time %s\n", reply);
    } else {
      failed = 1;
    }
    if (Check("GetDate", ((TextOutFn)(void *)Entry("GetDate"))(reply)) == 0) {
      printf("date %s\n", reply);
    } else {
      failed = 1;
    }
  }
  if (Check("ExitCOMM", ((NoArgFn)(void *)Entry("ExitCOMM"))()) < 0) failed = 1;
  FreeLibrary(veldc);
  return failed;
}
