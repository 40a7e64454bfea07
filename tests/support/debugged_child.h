#pragma once

#include <windows.h>

#include <string>

#include "support/child_process.h"
#include "win32/unique_resource.h"

// A second process run under this thread as its debugger, to read what it writes to the
// debugger output and to hold it still: while a debug event is not answered, the whole
// child stands where it raised it. Only the thread that built the object may use it; its
// destruction ends a child that is still running.
class DebuggedChild {
 public:
  explicit DebuggedChild(const std::wstring& commandLine, const ChildSetup& setup = {});
  ~DebuggedChild();
  DebuggedChild(const DebuggedChild&) = delete;
  DebuggedChild& operator=(const DebuggedChild&) = delete;

  bool started() const noexcept { return static_cast<bool>(process_); }

  // Lets the child run until it writes to the debugger output and answers that text; the
  // child then stands at that write until the next call. False when it exited first or
  // the time ran out.
  bool RunToNextDebugString(std::string* text, DWORD timeoutMs = 60000);
  // Lets the child run to its end; every debugger output text on the way is appended to
  // `debugOutput`. False when the time ran out.
  bool RunToExit(std::string* debugOutput, DWORD timeoutMs = 60000);

  DWORD exitCode() const noexcept { return exitCode_; }

 private:
  // The next event's text when it is a debugger output write; the event is left
  // unanswered. False at exit or when the time ran out.
  bool WaitForDebugString(std::string* text, DWORD timeoutMs);
  void Answer();

  UniqueHandle process_;
  UniqueHandle thread_;
  DWORD processId_ = 0;
  DWORD pendingThreadId_ = 0;  // the thread whose event is not answered yet, or 0
  bool exited_ = false;
  DWORD exitCode_ = 0;
};
