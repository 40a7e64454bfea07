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
// The lines of one drain are written together: a write to the system costs far more than
// formatting a line, so Write adds the line to the ones waiting and Flush writes them
// all with one call. Each line is whole in what waits, so a reader never sees a part of
// one unless the system itself cuts a write short.
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

  // Adds one record's line to the lines waiting; once they fill a batch they are written.
  void Write(const RecordView& record);
  // Writes the waiting lines with one call: the logger thread's drain ends with it, so
  // that every line it took is in the system before it waits.
  void Flush();

  // Lines that could not be written whole (no standard handle, a pipe nobody reads any
  // more, a full disk), and the system's error code of the last such failure. A failed
  // line is not retried: the output cannot tell how much of it a reader saw. A failed
  // write counts the lines it did not write whole, not those before them it did.
  std::uint64_t FailedLines() const noexcept { return failedLines_; }
  DWORD LastError() const noexcept { return lastError_; }

 private:
  // Picks up a changed standard handle, after the lines waiting for the old one are
  // written to it. Asking what kind of output a handle is costs a round trip to the
  // system (under Wine a server call each), so it is asked once per handle, not per line.
  void Refresh();

  // Waiting lines are written once they hold this many characters: enough that the
  // system's cost per write is spread thin, little enough to stay in the cache.
  static constexpr std::size_t kBatchChars = 32 * 1024;

  DWORD standardHandle_;
  UINT chosenCodePage_ = 0;
  HANDLE handle_ = nullptr;
  bool known_ = false;
  bool isConsole_ = false;
  UINT codePage_ = 0;
  std::uint64_t failedLines_ = 0;
  DWORD lastError_ = ERROR_SUCCESS;
  // The waiting lines, each ending in CR LF: the first pendingChars_ characters of
  // pending_, which is kept between batches so a line costs no allocation.
  std::vector<wchar_t> pending_;
  std::size_t pendingChars_ = 0;
  std::uint64_t pendingLines_ = 0;
  // The waiting lines in the code page, for a pipe or a file.
  std::vector<char> bytes_;
};
