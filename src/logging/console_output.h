#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "logging/record_view.h"

// The console output: one line per record, "[code] (hh:mm:ss.mmm):{0xTHREAD} text", on
// one of the process's standard handles (standard output; standard error for a copy of
// the console lines). A real console takes the text as it is; a pipe or a file gets it in
// the console's output code page (the ANSI one without a console) unless the owner picks
// another, such as UTF-8, so that a reader of the pipe gets every character.
//
// Concurrency: used by the logger thread while it runs, and by the owner before Start and
// after Stop (the thread's end orders the counts before the owner reads them).
class ConsoleOutput {
 public:
  explicit ConsoleOutput(DWORD standardHandle = STD_OUTPUT_HANDLE) noexcept : standardHandle_(standardHandle) {}

  // The code page of lines written to a pipe or a file; 0 (the default) takes the
  // console's output code page, or the ANSI one when the process has no console.
  void SetCodePage(UINT codePage) noexcept {
    chosenCodePage_ = codePage;
    known_ = false;
  }

  // Writes one record's line.
  void Write(const RecordView& record);

  // Lines that could not be written whole (no standard handle, a pipe nobody reads any
  // more, a full disk), and the system's error code of the last such failure. A failed
  // line is not retried: the output cannot tell how much of it a reader saw.
  std::uint64_t FailedLines() const noexcept { return failedLines_; }
  DWORD LastError() const noexcept { return lastError_; }

 private:
  // Picks up a changed standard handle. Asking what kind of output a handle is costs a
  // round trip to the system (under Wine a server call each), so it is asked once per
  // handle, not per line.
  void Refresh();

  DWORD standardHandle_;
  UINT chosenCodePage_ = 0;
  HANDLE handle_ = nullptr;
  bool known_ = false;
  bool isConsole_ = false;
  UINT codePage_ = 0;
  std::uint64_t failedLines_ = 0;
  DWORD lastError_ = ERROR_SUCCESS;
  // The line being built, kept between records so a line costs no allocation.
  std::vector<wchar_t> line_;
};
