// Names of debug log files and the numbers that tell the files of one name apart.

#include "logging/log_file_names.h"

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cwchar>

#include "logging/host_name.h"
#include "logging/log_file_search.h"
#include "win32/unique_resource.h"

namespace {

// Numbers in names are read up to this many digits, so reading one never overflows.
constexpr std::size_t kMostNumberDigits = 9;
constexpr std::size_t kStructuredSequenceDigits = 4;
constexpr std::size_t kPlainNumberDigits = 3;

// A formatted name, or empty when it does not fit the name limit.
template <typename... Args>
std::wstring FormatName(const wchar_t* format, Args... args) {
  wchar_t name[kMaxLogFileNameChars + 2];
  const int length = ::_snwprintf(name, kMaxLogFileNameChars + 1, format, args...);
  if (length < 0 || static_cast<std::size_t>(length) > kMaxLogFileNameChars) return {};
  return std::wstring(name, static_cast<std::size_t>(length));
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Characters a host name in a file name can hold: LogHostName upper-cases letters, and
// DNS names hold nothing but letters, digits and hyphens.
bool IsHostNameCharacter(wchar_t c) { return (c >= L'A' && c <= L'Z') || IsDigit(c) || c == L'-'; }

bool EqualIgnoringCase(const wchar_t* a, const wchar_t* b, std::size_t length) {
  return ::_wcsnicmp(a, b, length) == 0;
}

// The number written in text[from, to), which holds digits only, or nothing when there
// are fewer than `least` or more than kMostNumberDigits of them.
std::optional<int> DigitsValue(const wchar_t* text, std::size_t from, std::size_t to, std::size_t least) {
  if (to - from < least || to - from > kMostNumberDigits) return std::nullopt;
  int value = 0;
  for (std::size_t i = from; i < to; ++i) {
    if (!IsDigit(text[i])) return std::nullopt;
    value = value * 10 + (text[i] - L'0');
  }
  return value;
}

}  // namespace

// ---- Structured names ----

bool BuildStructuredFileName(const StructuredNameParts& p, const LogFileDate& date, int sequence, wchar_t* output,
                             std::size_t capacity) {
  if (output == nullptr || capacity == 0) return false;
  output[0] = L'\0';
  std::wstring name;
  const wchar_t* root = p.root.c_str();
  const wchar_t* prefix = p.prefix.c_str();
  const wchar_t* host = p.host.c_str();
  const wchar_t* component = p.component.c_str();
  if (!p.dailyFiles && !p.dateFolders) {
    name = FormatName(L"%s\\%s%s_%s_%02d_%04d.txt", root, prefix, host, component, p.instance, sequence);
  } else if (!p.dailyFiles) {
    name = FormatName(L"%s\\%04d%02d%02d\\%s%s_%s_%02d_%04d.txt", root, date.year, date.month, date.day, prefix,
                      host, component, p.instance, sequence);
  } else if (!p.dateFolders) {
    name = FormatName(L"%s\\%s%s_%s_%02d_%04d%02d%02d_%04d.txt", root, prefix, host, component, p.instance,
                      date.year, date.month, date.day, sequence);
  } else {
    name = FormatName(L"%s\\%04d%02d%02d\\%s%s_%s_%02d_%04d%02d%02d_%04d.txt", root, date.year, date.month,
                      date.day, prefix, host, component, p.instance, date.year, date.month, date.day, sequence);
  }
  if (name.empty() || name.size() >= capacity) return false;
  std::wmemcpy(output, name.c_str(), name.size() + 1);
  return true;
}

std::wstring StructuredSearchPattern(const StructuredNameParts& parts, const LogFileDate& date) {
  StructuredNameParts any = parts;
  any.prefix = L"*";
  wchar_t name[kMaxLogFileNameChars + 1];
  if (!BuildStructuredFileName(any, date, 0, name, std::size(name))) return {};
  // The sequence number is the four digits before ".txt"; "*" lets longer numbers in.
  std::wstring pattern = name;
  pattern.replace(pattern.size() - 4 - kStructuredSequenceDigits, kStructuredSequenceDigits, L"*");
  return pattern;
}

std::optional<StructuredFileName> ParseStructuredFileName(const wchar_t* fileName, const StructuredNameParts& parts) {
  const std::size_t length = std::wcslen(fileName);
  constexpr std::size_t kExtensionChars = 4;
  if (length < kExtensionChars || !EqualIgnoringCase(fileName + length - kExtensionChars, L".txt", kExtensionChars)) {
    return std::nullopt;
  }
  // Read from the end: ".txt", the sequence, "_", the date and "_" when daily, then the
  // host, component and instance; what is left is the prefix.
  std::size_t end = length - kExtensionChars;
  std::size_t start = end;
  while (start > 0 && IsDigit(fileName[start - 1])) --start;
  const std::optional<int> sequence = DigitsValue(fileName, start, end, kStructuredSequenceDigits);
  if (!sequence || start == 0 || fileName[start - 1] != L'_') return std::nullopt;
  end = start - 1;

  StructuredFileName found;
  found.sequence = *sequence;
  if (parts.dailyFiles) {
    constexpr std::size_t kDateDigits = 8;
    if (end < kDateDigits + 1 || fileName[end - kDateDigits - 1] != L'_') return std::nullopt;
    for (std::size_t i = end - kDateDigits; i < end; ++i) {
      if (!IsDigit(fileName[i])) return std::nullopt;
    }
    found.dateDigits.assign(fileName + end - kDateDigits, kDateDigits);
    end -= kDateDigits + 1;
  }

  const std::wstring owner = FormatName(L"%s_%s_%02d", parts.host.c_str(), parts.component.c_str(), parts.instance);
  if (owner.empty() || end < owner.size() || !EqualIgnoringCase(fileName + end - owner.size(), owner.c_str(), owner.size())) {
    return std::nullopt;
  }
  const std::size_t prefixLength = end - owner.size();
  const bool ownPrefix =
      prefixLength == parts.prefix.size() && EqualIgnoringCase(fileName, parts.prefix.c_str(), prefixLength);
  if (prefixLength > 0 && !ownPrefix && IsHostNameCharacter(fileName[prefixLength - 1])) return std::nullopt;
  return found;
}

int FindHighestSequenceNumber(const StructuredNameParts& parts, const LogFileDate& date) {
  const std::wstring pattern = StructuredSearchPattern(parts, date);
  int highest = 0;
  if (pattern.empty()) return highest;
  wchar_t dateDigits[16];
  ::_snwprintf(dateDigits, std::size(dateDigits), L"%04d%02d%02d", date.year, date.month, date.day);
  dateDigits[std::size(dateDigits) - 1] = L'\0';
  ForEachFileMatch(pattern, [&](const WIN32_FIND_DATAW& found) {
    const std::optional<StructuredFileName> name = ParseStructuredFileName(found.cFileName, parts);
    if (!name || (parts.dailyFiles && name->dateDigits != dateDigits)) return;
    highest = std::max(highest, name->sequence);
  });
  return highest;
}

// ---- Plain names ----

std::wstring PlainFileName::Numbered(int number) const {
  wchar_t suffix[16];
  ::_snwprintf(suffix, 16, L"_%03d", number);
  suffix[15] = L'\0';
  return dated + suffix + extension;
}

PlainFileName BuildPlainFileName(const std::wstring& path, int instance, bool dailyFiles, const LogFileDate& date) {
  PlainFileName name;
  // The extension is looked for in the file's own name: a "." in a folder name would
  // otherwise put the suffixes into the folder, and the file somewhere else.
  std::wstring::size_type dot = path.rfind(L'.');
  if (dot != std::wstring::npos && dot < FileNameStart(path)) dot = std::wstring::npos;
  name.stem = dot == std::wstring::npos ? path : path.substr(0, dot);
  name.extension = dot == std::wstring::npos ? std::wstring() : path.substr(dot);
  wchar_t part[32];
  if (instance != 0) {
    ::_snwprintf(part, 32, dailyFiles ? L"-%03d-" : L"-%03d", instance);
    part[31] = L'\0';
    name.stem += part;
  }
  name.dated = name.stem;
  if (dailyFiles) {
    ::_snwprintf(part, 32, L"%04d%02d%02d", date.year, date.month, date.day);
    part[31] = L'\0';
    name.dated += part;
  }
  return name;
}

std::optional<int> NumberAfter(const wchar_t* fileName, const std::wstring& prefix, const std::wstring& extension) {
  const std::size_t length = std::wcslen(fileName);
  if (length < prefix.size() + 1 + extension.size() || !EqualIgnoringCase(fileName, prefix.c_str(), prefix.size()) ||
      fileName[prefix.size()] != L'_' ||
      !EqualIgnoringCase(fileName + length - extension.size(), extension.c_str(), extension.size())) {
    return std::nullopt;
  }
  return DigitsValue(fileName, prefix.size() + 1, length - extension.size(), kPlainNumberDigits);
}

int NextPlainFileNumber(const PlainFileName& name) {
  int next = 0;
  const std::wstring bareDated = name.dated.substr(FileNameStart(name.dated));
  ForEachFileMatch(name.dated + L"_*" + name.extension, [&](const WIN32_FIND_DATAW& found) {
    const std::optional<int> number = NumberAfter(found.cFileName, bareDated, name.extension);
    if (number) next = std::max(next, *number + 1);
  });
  return next;
}

// ---- Folders and the host ----

int EnsureFilePath(const std::wstring& path) {
  errno = 0;
  if (path.size() > kMaxLogFileNameChars) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::wstring::size_type from = 0;
  if (path.compare(0, 2, L"\\\\") == 0) {
    // The server and the share cannot be created: folders start after the share.
    const std::wstring::size_type serverEnd = path.find(L'\\', 2);
    if (serverEnd == std::wstring::npos) {
      errno = EINVAL;
      return -1;
    }
    from = path.find(L'\\', serverEnd + 1);
    if (from == std::wstring::npos) from = path.size();
  }
  for (std::wstring::size_type separator = path.find(L'\\', from == 0 ? 0 : from + 1);
       separator != std::wstring::npos; separator = path.find(L'\\', separator + 1)) {
    if (separator == 0 || path[separator - 1] == L':') continue;  // the root of a drive
    const std::wstring folder = path.substr(0, separator);
    if (::_waccess(folder.c_str(), 0) == 0) continue;
    if (::_wmkdir(folder.c_str()) != 0 && errno != EEXIST) return -1;
  }
  // An existing file is the opener's to judge: it tells a read-only file or one another
  // writer holds by the system's own reason.
  if (::_waccess(path.c_str(), 0) == 0) {
    errno = 0;
    return 0;
  }
  UniqueCrtFile created(::_wfopen(path.c_str(), L"a+"));
  if (!created) return -1;
  errno = 0;
  return 0;
}

std::wstring LogHostName() { return UpperCaseHostName().substr(0, kLogHostNameChars); }
