// VELDC.DLL as a host sees it: loaded with LoadLibraryA, every entry point by name.
#pragma once

#include <windows.h>

#include <string>

#include "veldc.h"

namespace veldc::test {

class VeldcDll {
 public:
  VeldcDll() : module_(LoadLibraryA("VELDC.DLL")) {
    if (module_ == nullptr) return;
    Get("GetError", &GetError);
    Get("InitCOMM", &InitCOMM);
    Get("ExitCOMM", &ExitCOMM);
    Get("SetTerminal", &SetTerminal);
    Get("GetTime", &GetTime);
    Get("SendFile", &SendFile);
    Get("RecvFile", &RecvFile);
    Get("EnableMeter", &EnableMeter);
    Get("SetProgressCallback", &SetProgressCallback);
    Get("SetIPAddress", &SetIPAddress);
    Get("PeloCommand", &PeloCommand);
    Get("SetWinSockTimeOut", &SetWinSockTimeOut);
    Get("SetPortName", &SetPortName);
    hCommId = reinterpret_cast<void **>(GetProcAddress(module_, "hCommId"));
  }
  ~VeldcDll() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  VeldcDll(const VeldcDll &) = delete;
  VeldcDll &operator=(const VeldcDll &) = delete;

  // True when the DLL and every entry point above were found.
  bool Loaded() const { return module_ != nullptr && complete_ && hCommId != nullptr; }

  std::string Error() const {
    char text[VELDC_ERROR_TEXT_SIZE] = {};
    const int code = GetError(text);
    return std::to_string(code) + " " + text;
  }

  int(VELDC_API *GetError)(char *) = nullptr;
  int(VELDC_API *InitCOMM)(int, int, int, int) = nullptr;
  int(VELDC_API *ExitCOMM)() = nullptr;
  int(VELDC_API *SetTerminal)(int) = nullptr;
  int(VELDC_API *GetTime)(char *) = nullptr;
  int(VELDC_API *SendFile)(const char *, char *, int, int) = nullptr;
  int(VELDC_API *RecvFile)(char *, const char *) = nullptr;
  int(VELDC_API *EnableMeter)(int) = nullptr;
  int(VELDC_API *SetProgressCallback)(VeldcProgressCallback, void *) = nullptr;
  int(VELDC_API *SetIPAddress)(const char *) = nullptr;
  int(VELDC_API *PeloCommand)(const char *, char *) = nullptr;
  int(VELDC_API *SetWinSockTimeOut)(short) = nullptr;
  int(VELDC_API *SetPortName)(int, const char *) = nullptr;
  void **hCommId = nullptr;

 private:
  template <typename Fn>
  void Get(const char *name, Fn *fn) {
    void *p = reinterpret_cast<void *>(GetProcAddress(module_, name));
    *fn = reinterpret_cast<Fn>(p);
    if (p == nullptr) complete_ = false;
  }

  HMODULE module_;
  bool complete_ = true;
};

}  // namespace veldc::test
