#pragma once

#include <windows.h>

#include <cstdint>

#include "logging/log_levels.h"

// What an output reads of one record: every output takes its lines from these fields and
// nothing else, so an output knows the record, never the logger that hands it over.
struct RecordView {
  SYSTEMTIME time{};              // local time of the record
  DWORD threadId = 0;             // the reporting thread
  int level = 0;
  const wchar_t* message = L"";   // zero-terminated; null prints as the formatter prints it
  DWORD eventId = 0;              // 0 stands for the level's default identifier
  const wchar_t* userText = nullptr;  // null: no user text

  // The short code log lines print.
  std::uint32_t EventCode() const noexcept { return ShortEventCode(eventId, level); }
};
