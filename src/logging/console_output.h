#pragma once

#include <windows.h>

#include <vector>

// The console output: one line per record on standard output, in the form
// "[code] (hh:mm:ss.mmm):{0xTHREAD} text". Used by the logger thread only.
class ConsoleOutput {
 public:
  // Writes one record's line. eventCode is the short code printed in the brackets.
  void Write(const SYSTEMTIME& time, DWORD threadId, DWORD eventCode, const wchar_t* message);

 private:
  // Picks up a changed standard output handle. Asking what kind of output a handle is
  // costs a round trip to the system (under Wine a server call each), so it is asked once
  // per handle, not per line.
  void Refresh();

  HANDLE handle_ = nullptr;
  bool known_ = false;
  bool isConsole_ = false;
  UINT codePage_ = 0;
  // The line being built, kept between records so a line costs no allocation.
  std::vector<wchar_t> line_;
};
