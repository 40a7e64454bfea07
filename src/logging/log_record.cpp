#include "logging/log_record.h"

#include <cstdint>
#include <cwchar>
#include <new>

namespace {

constexpr std::int64_t kFileTimeUnitsPerSecond = 10000000;

// The local time now, as GetLocalTime gives it, for a fraction of its cost: the system's
// conversion to local time is most of that cost, and the difference between local time
// and UTC changes only at a whole second (a daylight-saving change) or when the time zone
// is set, so each thread keeps the difference of the last second it asked about and asks
// again when the second changes.
void LocalTimeNow(SYSTEMTIME* time) {
  struct LastSecond {
    std::int64_t second = -1;
    std::int64_t localMinusUtc = 0;
  };
  thread_local LastSecond last;
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const std::int64_t utc =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  const std::int64_t second = utc / kFileTimeUnitsPerSecond;
  if (second != last.second) {
    FILETIME local;
    if (!::FileTimeToLocalFileTime(&now, &local)) {
      ::GetLocalTime(time);
      return;
    }
    last.second = second;
    last.localMinusUtc =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime) - utc;
  }
  const auto local = static_cast<std::uint64_t>(utc + last.localMinusUtc);
  const FILETIME localTime{static_cast<DWORD>(local), static_cast<DWORD>(local >> 32)};
  if (!::FileTimeToSystemTime(&localTime, time)) ::GetLocalTime(time);
}

}  // namespace

std::unique_ptr<LogRecord> LogRecord::Create(DWORD eventId, DWORD threadId, int level, const wchar_t* message,
                                             std::size_t messageLength, const wchar_t* userText) {
  if (message == nullptr) messageLength = 0;
  const std::size_t userTextLength = userText == nullptr ? 0 : std::wcslen(userText);
  // A text is at most a formatted message (1023 characters) or an owner's user text;
  // the lengths are kept in 32 bits so the header stays small on both architectures.
  if (messageLength > UINT32_MAX / 4 || userTextLength > UINT32_MAX / 4) throw std::bad_alloc();
  const TextSpace space{(messageLength + userTextLength + 2) * sizeof(wchar_t)};
  std::unique_ptr<LogRecord> record(new (space) LogRecord(eventId, threadId, level,
                                                          static_cast<std::uint32_t>(messageLength),
                                                          static_cast<std::uint32_t>(userTextLength)));
  wchar_t* texts = record->Texts();
  if (messageLength > 0) std::wmemcpy(texts, message, messageLength);
  texts[messageLength] = L'\0';
  if (userTextLength > 0) std::wmemcpy(texts + messageLength + 1, userText, userTextLength);
  texts[messageLength + 1 + userTextLength] = L'\0';
  return record;
}

LogRecord::LogRecord(DWORD eventIdIn, DWORD threadIdIn, int levelIn, std::uint32_t messageLength,
                     std::uint32_t userTextLength) noexcept
    : eventId(eventIdIn),
      threadId(threadIdIn),
      level(levelIn),
      time{},
      messageLength_(messageLength),
      userTextLength_(userTextLength) {
  LocalTimeNow(&time);
}

LogRecord::~LogRecord() {
  ::SecureZeroMemory(Texts(), (static_cast<std::size_t>(messageLength_) + userTextLength_ + 2) * sizeof(wchar_t));
}

void* LogRecord::operator new(std::size_t size, TextSpace space) { return ::operator new(size + space.bytes); }

void LogRecord::operator delete(void* block) noexcept { ::operator delete(block); }

void LogRecord::operator delete(void* block, TextSpace) noexcept { ::operator delete(block); }
