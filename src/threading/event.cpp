#include "threading/event.h"

namespace {

DWORD WaitLimit(std::int64_t timeoutMs) {
  return timeoutMs == -1 ? INFINITE : static_cast<DWORD>(timeoutMs & 0xFFFFFFFF);
}

}  // namespace

Event::Event(bool manualReset, bool initiallySignalled)
    : handle_(::CreateEventA(nullptr, manualReset, initiallySignalled, nullptr)) {}

BOOL Event::Set() { return ::SetEvent(handle_.get()); }

BOOL Event::Reset() { return ::ResetEvent(handle_.get()); }

int Event::Wait(std::int64_t timeoutMs) {
  switch (::WaitForSingleObject(handle_.get(), WaitLimit(timeoutMs))) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      return 1;
    case WAIT_TIMEOUT:
      return 0;
    default:
      return -1;
  }
}

int Event::WaitEither(Event& other, std::int64_t timeoutMs) {
  // The system answers the lowest index of the signalled handles, so this event wins a tie.
  const HANDLE handles[] = {handle_.get(), other.handle_.get()};
  return WaitAny(handles, 2, timeoutMs);
}

int Event::WaitAny(const HANDLE* handles, std::size_t count, std::int64_t timeoutMs) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return -1;
  const DWORD woken = ::WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, WaitLimit(timeoutMs));
  if (woken == WAIT_TIMEOUT) return 0;
  if (woken < WAIT_OBJECT_0 + count) return static_cast<int>(woken - WAIT_OBJECT_0) + 1;
  if (woken >= WAIT_ABANDONED_0 && woken < WAIT_ABANDONED_0 + count) {
    return static_cast<int>(woken - WAIT_ABANDONED_0) + 1;
  }
  return -1;
}
