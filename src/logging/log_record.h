#pragma once

#include <windows.h>

#include <cstddef>

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

  // What the record holds in memory while it is queued: the record and its two texts.
  // Fixed once the texts are assigned, so the queue counts the same bytes in and out.
  std::size_t QueuedBytes() const noexcept {
    return sizeof(LogRecord) +
           (static_cast<std::size_t>(userText.GetLength()) + static_cast<std::size_t>(message.GetLength()) + 2) *
               sizeof(wchar_t);
  }
};
