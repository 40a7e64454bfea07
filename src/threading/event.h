#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "win32/unique_resource.h"

// An unnamed Win32 event. A failed creation, or Close, leaves it without a handle; the
// operations then hand the null handle to the system and report its failure.
// Any thread may use it. The operations read the object the caller names and are not
// noexcept: on a guarded thread a call through a bad pointer reaches the caller's handler.
class Event {
 public:
  Event(bool manualReset, bool initiallySignalled);
  ~Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Close() { handle_.reset(); }
  BOOL Set();
  BOOL Reset();

  // 1 when the event was signalled (or the wait ended as abandoned), 0 on time-out, -1
  // on failure. -1 waits without limit; any other limit counts only its low 32 bits, as
  // WaitForSingleObject takes them (2^32 waits 0 ms).
  int Wait(std::int64_t timeoutMs);
  // Waits for this event or `other`, with the same limits: 1 when this one was signalled
  // (also when both were), 2 when only `other` was, 0 on time-out, -1 on failure.
  int WaitEither(Event& other, std::int64_t timeoutMs);
  // Waits for any of `count` handles (at most MAXIMUM_WAIT_OBJECTS), with the same limits:
  // 1 + the index of the first one signalled (the lowest wins a tie), 0 on time-out, -1 on
  // failure.
  static int WaitAny(const HANDLE* handles, std::size_t count, std::int64_t timeoutMs);

  HANDLE Handle() const noexcept { return handle_.get(); }

 private:
  UniqueHandle handle_;
};
