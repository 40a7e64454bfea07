#include "logging/log_record.h"

LogRecord::LogRecord(DWORD eventIdIn, DWORD threadIdIn, int levelIn)
    : eventId(eventIdIn), threadId(threadIdIn), level(levelIn), time{} {
  ::GetLocalTime(&time);
}
