#pragma once

#include <windows.h>

#include <cwctype>
#include <string>

#include "win32/unique_resource.h"

// Whether a bare file name matches a pattern of the same kind, case ignored, where "?"
// stands for exactly one character and "*" for any run. The system's own search also
// lets "?" match nothing before a "." and matches short (8.3) names, so a search for
// "trace????????.txt" would also find trace.txt; what the debug log files delete or
// number goes through this stricter test as well.
inline bool NameMatchesExactly(const wchar_t* pattern, const wchar_t* name) {
  const wchar_t* starPattern = nullptr;
  const wchar_t* starName = nullptr;
  while (*name != L'\0') {
    if (*pattern == L'*') {
      starPattern = ++pattern;
      starName = name;
    } else if (*pattern == L'?' || (*pattern != L'\0' && std::towupper(*pattern) == std::towupper(*name))) {
      ++pattern;
      ++name;
    } else if (starPattern != nullptr) {
      pattern = starPattern;
      name = ++starName;
    } else {
      return false;
    }
  }
  while (*pattern == L'*') ++pattern;
  return *pattern == L'\0';
}

// The part of a path after its last "\", "/" or ":".
inline std::wstring::size_type FileNameStart(const std::wstring& path) {
  const std::wstring::size_type separator = path.find_last_of(L"\\/:");
  return separator == std::wstring::npos ? 0 : separator + 1;
}

// Calls visit(found) for every entry the pattern (a folder and a bare-name pattern)
// finds that also matches the bare-name pattern exactly. A folder that cannot be listed
// finds nothing.
template <typename Visit>
void ForEachFileMatch(const std::wstring& pattern, Visit visit) {
  const std::wstring namePattern = pattern.substr(FileNameStart(pattern));
  WIN32_FIND_DATAW found;
  UniqueFindHandle search(::FindFirstFileW(pattern.c_str(), &found));
  if (!search) return;
  do {
    if (NameMatchesExactly(namePattern.c_str(), found.cFileName)) visit(found);
  } while (::FindNextFileW(search.get(), &found));
}
