#pragma once

#include <windows.h>

#include "text/zul_string.h"

// One logged record. Created on the caller's thread, owned by the queue while it waits
// and by the logger thread once taken out.
struct LogRecord {
  // The texts start empty; the time is the local time now, on the creating thread.
  LogRecord(DWORD eventId, DWORD threadId, int level);
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;

  DWORD eventId;   // 0 stands for the level's default identifier
  DWORD threadId;  // the reporting thread
  int level;
  // Declared before the message so that the message is released first.
  zul::ZULString userText;
  zul::ZULString message;  // formatted, trailing white space removed
  SYSTEMTIME time;
};
