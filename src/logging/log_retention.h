#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "logging/log_file_names.h"

// Retention of daily debug log files: when a daily file opens, the files of the same name
// older than a number of whole days are deleted. There is no timer of its own.

// Deletes the daily debug log files older than maxAgeDays whole days before the date of
// the open file (local midnight). Nothing is deleted for an age of 0 or less; files that
// cannot be listed or deleted are skipped without a report. `fileDate` is the date of the
// file being opened.
void DeleteOldPlainFiles(const std::wstring& stem, const std::wstring& extension, const LogFileDate& fileDate,
                         int maxAgeDays);
void DeleteOldStructuredFiles(const StructuredNameParts& parts, const LogFileDate& fileDate, int maxAgeDays);
// The moment before which a file counts as old, in seconds since 1970: local midnight
// of fileDate less maxAgeDays days, in 64 bits so that no age overflows into the future.
std::int64_t RetentionCutOff(const LogFileDate& fileDate, int maxAgeDays);
// Whether a found file is older than the cut-off: by its creation time inside date
// folders (a file there is never rewritten under another date), else by its last write.
bool IsOldLogFile(const WIN32_FIND_DATAW& found, bool byCreationTime, std::int64_t cutOff);
