#include "logging/fallback_trace.h"

#include <direct.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>

#include "logging/host_name.h"
#include "text/code_page.h"
#include "text/narrow_wide.h"
#include "threading/critical_section.h"
#include "win32/unique_resource.h"

namespace {

constexpr int kLineChars = 2048;  // a line holds one character less
constexpr int kTimestampChars = 32;
constexpr DWORD kTempFolderChars = 260;
constexpr std::size_t kMaxDayFolderChars = 259;
constexpr std::size_t kMaxFilePathChars = 275;
constexpr std::size_t kCaptureTextChars = 2047;

std::atomic<int> g_traceLevel{3};
std::atomic<TraceClock> g_traceClock{nullptr};

// What the writer shares between calls, built by the first call that needs it and torn
// down at exit.
struct TraceWriterState {
  // Lock rules: guards every field below; held for the whole of one write, during which
  // nothing else of the system is locked or logged to.
  CriticalSection lock;
  // The text of the last call that got as far as comparing, written or not.
  std::wstring lastText;
  // From TEMP, read by the first call that gets past the comparison and kept for the
  // life of the process, so a later change of TEMP does not move the trace; empty (and
  // read again) while TEMP is not set.
  std::wstring tempFolder;
  std::wstring namePart = L"log";
};

TraceWriterState& WriterState() {
  static TraceWriterState state;
  return state;
}

SYSTEMTIME CurrentUtcTime() {
  SYSTEMTIME now{};
  const TraceClock clock = g_traceClock.load(std::memory_order_relaxed);
  (clock != nullptr ? clock : &::GetSystemTime)(&now);
  return now;
}

void FormatTimestamp(const SYSTEMTIME& time, wchar_t (&stamp)[kTimestampChars]) {
  _snwprintf(stamp, kTimestampChars - 1, L"%02d/%02d %02d:%02d:%02d", time.wMonth, time.wDay, time.wHour,
             time.wMinute, time.wSecond);
  stamp[kTimestampChars - 1] = L'\0';
}

wchar_t LevelLetter(int level) {
  switch (level) {
    case 0: return L'C';
    case 1: return L'E';
    case 2: return L'W';
    case 4: return L'D';
    case 5: return L'O';
    default: return L' ';
  }
}

bool TraceLevelAdmits(int level) {
  const int traceLevel = g_traceLevel.load(std::memory_order_relaxed);
  return traceLevel > 3 || level <= traceLevel;
}

bool IsEmpty(const wchar_t* text) { return text == nullptr || text[0] == L'\0'; }

// Copies a non-empty text into a caller's capture block: the marker must be there and
// every byte the copy touches writable.
bool CopyIntoCaptureBlock(void* block, const wchar_t* text) {
  if (block == nullptr || IsEmpty(text)) return false;
  if (::IsBadWritePtr(block, sizeof(std::uint32_t))) return false;
  auto* capture = static_cast<CaptureBlock*>(block);
  if (capture->marker != kCaptureBlockMarker) return false;
  const std::size_t length = wcsnlen(text, kCaptureTextChars);
  if (::IsBadWritePtr(capture->text, (length + 1) * sizeof(wchar_t))) return false;
  std::wmemcpy(capture->text, text, length);
  capture->text[length] = L'\0';
  return true;
}

std::wstring TempFolderFromEnvironment() {
  wchar_t folder[kTempFolderChars] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"TEMP", folder, kTempFolderChars);
  // A value that does not fit is not in the buffer at all.
  if (length == 0 || length >= kTempFolderChars) return {};
  return folder;
}

bool EnsureDirectory(const std::wstring& path) { return DirectoryExists(path.c_str()) || _wmkdir(path.c_str()) == 0; }

// The host part of the trace file's name, when the system cannot tell the host too.
std::wstring HostForFileName() {
  const std::wstring host = UpperCaseHostName();
  return host.empty() ? L"Unknown" : host;
}

// Formats the line; a line cut at the buffer keeps its line break, so the next line does
// not run on from it.
void FormatLine(wchar_t (&line)[kLineChars], const SYSTEMTIME& now, int level, const wchar_t* text,
                const char* function, int sourceLine) {
  wchar_t stamp[kTimestampChars];
  FormatTimestamp(now, stamp);
  const int written = level == 4 ? _snwprintf(line, kLineChars - 1, L"%s|%c|%d| [%hs]- %s\n", stamp,
                                              LevelLetter(level), sourceLine, function, text)
                                 : _snwprintf(line, kLineChars - 1, L"%s|%c [%hs]- %s\n", stamp,
                                              LevelLetter(level), function, text);
  if (written < 0) line[kLineChars - 2] = L'\n';
  line[kLineChars - 1] = L'\0';
}

// A lock on one byte far past any end the file can reach: appenders take it in turn,
// and since no one reads or writes there, it holds up nothing else.
class AppendTurn {
 public:
  explicit AppendTurn(HANDLE file) : file_(file) {
    range_.Offset = kOffsetLow;
    range_.OffsetHigh = kOffsetHigh;
    held_ = ::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range_) != FALSE;
  }
  ~AppendTurn() {
    if (held_) ::UnlockFileEx(file_, 0, 1, 0, &range_);
  }
  AppendTurn(const AppendTurn&) = delete;
  AppendTurn& operator=(const AppendTurn&) = delete;

 private:
  static constexpr DWORD kOffsetLow = 0xFFFFFFF0;
  static constexpr DWORD kOffsetHigh = 0x7FFFFFFF;
  HANDLE file_;
  OVERLAPPED range_{};
  bool held_ = false;
};

// Appends the line in the ANSI code page, each line break stored as CR LF. Characters the
// code page lacks become "?" and the rest of the line stays.
//
// Every process of the host appends to the same file. A handle with append access and
// no write access makes the system put each write at the end of the file as one step,
// so one write per line keeps every line of every process whole; a seek to the end and
// then a write (what the run time's append mode does) lets two processes write at the
// same place. Where the system only emulates that step (Wine asks for the size, then
// writes there), the append turn keeps the two together. A file that cannot be opened
// loses the line.
void AppendLine(const std::wstring& filePath, const wchar_t* line) {
  const WideToNarrow narrow(line, AnsiCodePageIs1252);
  if (narrow.get() == nullptr) return;
  std::string bytes;
  for (const char* c = narrow.get(); *c != '\0'; ++c) {
    if (*c == '\n') bytes += '\r';
    bytes += *c;
  }
  // Read access only because a lock asks for it; without write access every write still
  // goes to the end.
  const UniqueFileHandle file(::CreateFileW(filePath.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  const AppendTurn turn(file.get());
  DWORD written = 0;
  ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Everything past the comparison with the last text. The caller holds the state's lock.
void WriteLine(TraceWriterState& state, int level, const wchar_t* text, const char* function, int sourceLine) {
  if (state.tempFolder.empty()) state.tempFolder = TempFolderFromEnvironment();
  if (!EnsureDirectory(state.tempFolder)) return;

  // One reading of the clock, so a line written at midnight carries the date of its file.
  const SYSTEMTIME now = CurrentUtcTime();
  wchar_t date[16] = {};
  _snwprintf(date, 15, L"%04d%02d%02d", now.wYear, now.wMonth, now.wDay);
  // A path that would not fit the limits is not cut to some other folder: the line is
  // dropped.
  const std::wstring dayFolder = AppendBackslash(state.tempFolder) + date;
  if (dayFolder.size() > kMaxDayFolderChars || !EnsureDirectory(dayFolder)) return;
  const std::wstring filePath =
      AppendBackslash(dayFolder) + HostForFileName() + L"_" + state.namePart + L"_" + date + L".txt";
  if (filePath.size() > kMaxFilePathChars) return;

  if (!TraceLevelAdmits(level)) return;
  wchar_t line[kLineChars];
  FormatLine(line, now, level, text, function, sourceLine);
  AppendLine(filePath, line);
}

}  // namespace

int FallbackTraceLevel() noexcept { return g_traceLevel.load(std::memory_order_relaxed); }
void SetFallbackTraceLevel(int level) noexcept { g_traceLevel.store(level, std::memory_order_relaxed); }

std::wstring FallbackTraceNamePart() {
  TraceWriterState& state = WriterState();
  CriticalSectionLock hold(&state.lock);
  return state.namePart;
}

void SetFallbackTraceNamePart(const wchar_t* namePart) {
  TraceWriterState& state = WriterState();
  CriticalSectionLock hold(&state.lock);
  state.namePart = namePart != nullptr ? std::wstring(namePart, wcsnlen(namePart, kFallbackTraceNamePartChars)) : L"";
}

void SetFallbackTraceClock(TraceClock clock) noexcept { g_traceClock.store(clock, std::memory_order_relaxed); }

void* WriteFallbackTrace(int level, int /*a*/, int /*b*/, int /*c*/, const wchar_t* text, const char* function,
                         int sourceLine, void* captureBlock) {
  void* const copied = CopyIntoCaptureBlock(captureBlock, text) ? captureBlock : nullptr;
  if (IsEmpty(text)) return nullptr;

  TraceWriterState& state = WriterState();
  CriticalSectionLock hold(&state.lock);
  if (state.lastText == text) return copied;
  // Failures (allocation, a fault translated on a guarded thread) cost the line, never
  // the caller.
  try {
    state.lastText = text;
    WriteLine(state, level, text, function, sourceLine);
  } catch (...) {
  }
  return copied;
}

std::wstring AppendBackslash(const std::wstring& path) {
  if (path.empty() || path.back() == L'\\') return path;
  return path + L'\\';
}

const wchar_t* FormatTraceTimestamp() {
  thread_local wchar_t stamp[kTimestampChars];
  FormatTimestamp(CurrentUtcTime(), stamp);
  return stamp;
}

bool DirectoryExists(const wchar_t* path) {
  if (IsEmpty(path)) return false;
  const DWORD attributes = ::GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  switch (::GetLastError()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_SHARING_BUFFER_EXCEEDED:
    case ERROR_TOO_MANY_NAMES:
    case ERROR_TOO_MANY_SESS:
      return true;
    default:
      return false;
  }
}
