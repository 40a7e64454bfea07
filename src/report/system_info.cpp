#include "report/system_info.h"

#include <cstdlib>
#include <cwchar>
#include <ctime>
#include <memory>

#include "logging/log_levels.h"
#include "logging/logging_calls.h"
#include "registry/registry.h"
#include "report/report_environment.h"

namespace {

constexpr const char* kSystemInfo = "ReportEnvironment::ReportSystemInfo";
constexpr const char* kUpTime = "GetUpTimeSecs";
constexpr const wchar_t* kProcessorKey = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
constexpr DWORD kProcessorTextChars = 100;

constexpr DWORD kUpTimeFirstBytes = 8192;
constexpr DWORD kUpTimeGrowthBytes = 1024;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring FormatLine(const wchar_t* format, ...) {
  wchar_t line[ReportEnvironment::kLineBufferChars] = {};
  va_list args;
  va_start(args, format);
  FormatCheckedV(line, ReportEnvironment::kLineBufferChars - 1, format, args);
  va_end(args);
  return line;
}

using DiskFreeSpaceEx = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);

}  // namespace

void StripBlanks(wchar_t* text) {
  if (text == nullptr) return;
  std::size_t length = std::wcslen(text);
  while (length > 0 && IsBlank(text[length - 1])) text[--length] = L'\0';
  std::size_t first = 0;
  while (first < length && IsBlank(text[first])) ++first;
  if (first > 0) std::wmemmove(text, text + first, length - first + 1);
}

std::wstring UpTimeLine(std::int64_t seconds) {
  if (seconds <= 0) return FormatLine(L"[ENV] Could not get System up time information. [%I64d]", seconds);
  const std::int64_t days = seconds / 86400;
  const std::int64_t rest = seconds - days * 86400;
  const std::int64_t hours = rest / 3600;
  const std::int64_t minutes = (rest - hours * 3600) / 60;
  return FormatLine(L"[ENV] System up time: %d days %02d hrs %02d mins %02d secs", static_cast<int>(days),
                    static_cast<int>(hours), static_cast<int>(minutes), static_cast<int>(seconds % 60));
}

std::wstring TimeZoneLine(const char* daylightName, const char* standardName, long secondsWestOfUtc) {
  const char* name = "";
  if (daylightName != nullptr && daylightName[0] != '\0') {
    name = daylightName;
  } else if (standardName != nullptr && standardName[0] != '\0') {
    name = standardName;
  }
  wchar_t wideName[MAX_PATH] = {};
  ::MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, MAX_PATH - 1);
  const long offset = std::labs(secondsWestOfUtc);
  return FormatLine(L"[ENV] Local Time Zone: %s (GMT%s%02d:%02d)", wideName, secondsWestOfUtc > 0 ? L"-" : L"+",
                    static_cast<int>(offset / 3600), static_cast<int>((offset / 60) % 60));
}

std::int64_t GetUpTimeSecs(ReportLineSink sink, PerformanceDataQuery query) {
  const auto write = [sink](int sourceLine, const wchar_t* format, auto... args) {
    SendReportLine(sink, ReportCaptureBlock(), ReportEnvironment::kLineBufferChars, kLogInformation, kUpTime,
                   sourceLine, format, args...);
  };
  PerformanceDataSession session;
  DWORD size = kUpTimeFirstBytes;
  auto buffer = std::make_unique<BYTE[]>(size);
  DWORD returned = size;
  LONG status = query(kSystemObjectItem, buffer.get(), &returned);
  while (status == ERROR_MORE_DATA) {
    // One buffer at a time: a large System object must not need two.
    buffer.reset();
    size += kUpTimeGrowthBytes;
    buffer = std::make_unique<BYTE[]>(size);
    returned = size;
    status = query(kSystemObjectItem, buffer.get(), &returned);
  }
  if (status != ERROR_SUCCESS) {
    SendReportText(sink, ReportCaptureBlock(), kLogInformation, kUpTime, __LINE__,
                   L"[ENV] Error occurred while collecting performance data from the registry for System uptime");
    return -1;
  }

  using Status = SystemUpTimeReading::Status;
  SystemUpTimeReading reading;
  try {
    reading = ReadSystemUpTime(buffer.get(), std::min(returned, size));
  } catch (...) {
    // The walk checks every offset; this stays as the second line of defence.
    reading.status = Status::kMalformed;
  }
  switch (reading.status) {
    case Status::kRead:
      return reading.seconds;
    case Status::kHeaderOnly:
      write(__LINE__,
            L"[ENV] Error occurred while collecting performance data from the registry for System uptime "
            L"(HeaderLength = %d, TotalByteLength = %d)",
            static_cast<int>(reading.headerLength), static_cast<int>(reading.totalLength));
      return -1;
    case Status::kMalformed:
      break;
  }
  SendReportText(sink, ReportCaptureBlock(), kLogInformation, kUpTime, __LINE__,
                 L"[ENV] Exception occurred while collecting performance data from the registry for System uptime");
  return -1;
}

void ReportEnvironment::ReportSystemInfo() {
  {
    Registry processor(kProcessorKey, false, false);
    if (!processor.Open(false)) {
      WriteLine(kLogError, kSystemInfo, __LINE__, L"[ENV] Cannot open CPU config registry key: %s", kProcessorKey);
      return;
    }
    wchar_t text[kProcessorTextChars] = {};
    if (processor.ReadString(L"Identifier", text, kProcessorTextChars)) {
      WriteLine(kLogInformation, kSystemInfo, __LINE__, L"[ENV] Processor Identifier: %s", text);
    }
    std::wmemset(text, 0, kProcessorTextChars);
    if (processor.ReadString(L"VendorIdentifier", text, kProcessorTextChars)) {
      WriteLine(kLogInformation, kSystemInfo, __LINE__, L"[ENV] Processor Vendor Identifier: %s", text);
    }
    std::wmemset(text, 0, kProcessorTextChars);
    if (processor.ReadString(L"ProcessorNameString", text, kProcessorTextChars)) {
      StripBlanks(text);
      WriteLine(kLogInformation, kSystemInfo, __LINE__, L"[ENV] Processor Name String: %s", text);
    }
    DWORD megahertz = 0;
    if (processor.ReadDword(L"~MHz", &megahertz)) {
      WriteLine(kLogInformation, kSystemInfo, __LINE__, L"[ENV] Processor Speed: %d", static_cast<int>(megahertz));
    }
  }

  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  WriteLine(kLogInformation, kSystemInfo, __LINE__, L"[ENV] Number of Processors: %d",
            static_cast<int>(system.dwNumberOfProcessors));

  ReportSystemMemoryInfo(this);

  // A failed query leaves the figures at zero.
  ULARGE_INTEGER available{};
  ULARGE_INTEGER total{};
  ULARGE_INTEGER free{};
  const auto diskFreeSpaceEx = reinterpret_cast<DiskFreeSpaceEx>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetDiskFreeSpaceExA")));
  if (diskFreeSpaceEx != nullptr) {
    diskFreeSpaceEx(nullptr, &available, &total, &free);
  } else {
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD totalClusters = 0;
    ::GetDiskFreeSpaceA(nullptr, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters);
    total.QuadPart = static_cast<DWORD>(sectorsPerCluster * bytesPerSector * totalClusters);
    free.QuadPart = static_cast<DWORD>(sectorsPerCluster * bytesPerSector * freeClusters);
  }
  WriteLine(kLogInformation, kSystemInfo, __LINE__, L"[ENV] Total HD bytes: %I64d, Total free bytes = %I64d",
            total.QuadPart, free.QuadPart);

  const std::int64_t upTime = GetUpTimeSecs(Sink());
  if (!IsCodePointer(reinterpret_cast<const void*>(Sink()))) return;
  WriteFixed(kLogInformation, kSystemInfo, __LINE__, UpTimeLine(upTime).c_str());
  // The local-time conversion at the start of the report has set the run time's zone.
  WriteFixed(kLogInformation, kSystemInfo, __LINE__, TimeZoneLine(_tzname[1], _tzname[0], _timezone).c_str());
}
