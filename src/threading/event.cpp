#include "threading/event.h"

Event::Event(bool manualReset, bool initiallySignalled)
    : handle_(::CreateEventA(nullptr, manualReset, initiallySignalled, nullptr)) {}

BOOL Event::Set() { return ::SetEvent(handle_.get()); }

BOOL Event::Reset() { return ::ResetEvent(handle_.get()); }

int Event::Wait(std::int64_t timeoutMs) {
  const DWORD limit = timeoutMs == -1 ? INFINITE : static_cast<DWORD>(timeoutMs & 0xFFFFFFFF);
  switch (::WaitForSingleObject(handle_.get(), limit)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      return 1;
    case WAIT_TIMEOUT:
      return 0;
    default:
      return -1;
  }
}
