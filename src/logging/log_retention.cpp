// Retention of daily debug log files: files older than the configured number of days
// are deleted when a daily file is opened.

#include <windows.h>

#include "logging/log_retention.h"

#include <cwchar>
#include <ctime>

#include "logging/log_file_search.h"

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// 100-nanosecond intervals from 1601 to 1970.
constexpr std::uint64_t kFileTimeOf1970 = 116444736000000000ULL;

std::int64_t SecondsSince1970(const FILETIME& time) {
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return (static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(kFileTimeOf1970)) / 10000000;
}

bool IsDateFolderName(const wchar_t* name) {
  if (std::wcslen(name) != 8) return false;
  for (; *name != L'\0'; ++name) {
    if (*name < L'0' || *name > L'9') return false;
  }
  return true;
}

bool IsFolder(const WIN32_FIND_DATAW& found) { return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Deletes the files that match the pattern, pass `belongs` and whose chosen time stamp is
// before the cut-off; a file that cannot be deleted stays, unreported.
template <typename Belongs>
void DeleteOldMatches(const std::wstring& folder, const std::wstring& pattern, std::int64_t cutOff,
                      bool byCreationTime, Belongs belongs) {
  if (pattern.size() > kMaxLogFileNameChars) return;
  ForEachFileMatch(pattern, [&](const WIN32_FIND_DATAW& found) {
    if (IsFolder(found) || !belongs(found.cFileName) || !IsOldLogFile(found, byCreationTime, cutOff)) return;
    const std::wstring path = folder + found.cFileName;
    if (path.size() <= kMaxLogFileNameChars) ::DeleteFileW(path.c_str());
  });
}

// "*HOST_component_NN_????????_*.txt": the daily structured files of every prefix and any
// sequence number, to be judged one by one.
std::wstring DailyStructuredNamePattern(const StructuredNameParts& parts) {
  wchar_t pattern[kMaxLogFileNameChars + 2];
  const int length = ::_snwprintf(pattern, kMaxLogFileNameChars + 1, L"*%s_%s_%02d_????????_*.txt",
                                  parts.host.c_str(), parts.component.c_str(), parts.instance);
  if (length < 0 || static_cast<std::size_t>(length) > kMaxLogFileNameChars) return {};
  return std::wstring(pattern, static_cast<std::size_t>(length));
}

}  // namespace

bool IsOldLogFile(const WIN32_FIND_DATAW& found, bool byCreationTime, std::int64_t cutOff) {
  return SecondsSince1970(byCreationTime ? found.ftCreationTime : found.ftLastWriteTime) < cutOff;
}

std::int64_t RetentionCutOff(const LogFileDate& fileDate, int maxAgeDays) {
  std::tm midnight{};
  midnight.tm_year = fileDate.year - 1900;
  midnight.tm_mon = fileDate.month - 1;
  midnight.tm_mday = fileDate.day;
  midnight.tm_isdst = 0;
  return static_cast<std::int64_t>(::_mktime64(&midnight)) - static_cast<std::int64_t>(maxAgeDays) * kSecondsPerDay;
}

void DeleteOldPlainFiles(const std::wstring& stem, const std::wstring& extension, const LogFileDate& fileDate,
                         int maxAgeDays) {
  if (maxAgeDays <= 0) return;
  const std::int64_t cutOff = RetentionCutOff(fileDate, maxAgeDays);
  const std::wstring folder = stem.substr(0, FileNameStart(stem));
  const std::wstring bareStem = stem.substr(folder.size());
  constexpr std::size_t kDateChars = 8;
  DeleteOldMatches(folder, stem + L"????????" + extension, cutOff, false, [](const wchar_t*) { return true; });
  // Numbered files of any day: the number goes on past its three digits.
  DeleteOldMatches(folder, stem + L"????????_*" + extension, cutOff, false, [&](const wchar_t* name) {
    return std::wcslen(name) > bareStem.size() + kDateChars &&
           NumberAfter(name, bareStem + std::wstring(name + bareStem.size(), kDateChars), extension).has_value();
  });
}

void DeleteOldStructuredFiles(const StructuredNameParts& parts, const LogFileDate& fileDate, int maxAgeDays) {
  if (maxAgeDays <= 0) return;
  const std::int64_t cutOff = RetentionCutOff(fileDate, maxAgeDays);
  const std::wstring names = DailyStructuredNamePattern(parts);
  if (names.empty()) return;
  StructuredNameParts daily = parts;
  daily.dailyFiles = true;
  const auto belongs = [&](const wchar_t* name) { return ParseStructuredFileName(name, daily).has_value(); };

  const std::wstring folderPattern = parts.root + L"\\????????";
  if (folderPattern.size() <= MAX_PATH) {
    ForEachFileMatch(folderPattern, [&](const WIN32_FIND_DATAW& found) {
      if (!IsFolder(found) || !IsDateFolderName(found.cFileName)) return;
      const std::wstring folder = parts.root + L"\\" + found.cFileName;
      if (folder.size() > MAX_PATH) return;
      // Files inside a date folder are judged by when they were made.
      DeleteOldMatches(folder + L"\\", folder + L"\\" + names, cutOff, true, belongs);
      // Only an emptied folder goes; one still holding anything stays.
      ::RemoveDirectoryW(folder.c_str());
    });
  }
  DeleteOldMatches(parts.root + L"\\", parts.root + L"\\" + names, cutOff, false, belongs);
}
