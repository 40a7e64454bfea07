#include "logging/log_record.h"

#include <cwchar>
#include <new>

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
  ::GetLocalTime(&time);
}

LogRecord::~LogRecord() {
  ::SecureZeroMemory(Texts(), (static_cast<std::size_t>(messageLength_) + userTextLength_ + 2) * sizeof(wchar_t));
}

void* LogRecord::operator new(std::size_t size, TextSpace space) { return ::operator new(size + space.bytes); }

void LogRecord::operator delete(void* block) noexcept { ::operator delete(block); }

void LogRecord::operator delete(void* block, TextSpace) noexcept { ::operator delete(block); }
