#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>

#include "logging/log_record.h"
#include "threading/critical_section.h"
#include "threading/event.h"

// Records waiting for the logger thread, first in first out. Any thread pushes; only the
// logger thread pops. The logger's queue limit (a record count) only changes which
// outputs are served; what bounds the memory is the byte limit here: a caller whose
// record would take the queue past it waits until the logger thread has drained enough,
// so a stalled output slows the callers down instead of exhausting the process's memory,
// and no record is dropped for it.
class LogQueue {
 public:
  static constexpr std::size_t kDefaultByteLimit = 64u * 1024 * 1024;

  LogQueue() = default;
  ~LogQueue();
  LogQueue(const LogQueue&) = delete;
  LogQueue& operator=(const LogQueue&) = delete;

  // The bound on the bytes the queued records hold; 0 means no bound. Owner-set, before
  // records flow.
  void SetByteLimit(std::size_t bytes) noexcept { byteLimit_ = bytes; }
  std::size_t ByteLimit() const noexcept { return byteLimit_; }

  // Appends at the back. While the record would take the queue past the byte limit and
  // *keepWaiting is true, waits for the logger thread to drain (a null keepWaiting, as
  // the logger thread passes for its own messages, never waits; a record larger than the
  // whole bound waits only for an empty queue). Throws what the sequence throws when it
  // cannot grow (the record is then released by the caller's pointer).
  void Push(std::unique_ptr<LogRecord> record, const std::atomic<bool>* keepWaiting = nullptr);

  // Takes the front record, or null when the queue is empty.
  std::unique_ptr<LogRecord> Pop();

  // The length as of the last push or pop, read without the lock: the queue watch accepts
  // a slightly stale value and must not contend with the callers.
  std::size_t Length() const noexcept { return length_.load(std::memory_order_relaxed); }
  // The bytes the queued records hold, as of the last push or pop.
  std::size_t Bytes() const noexcept { return bytes_.load(std::memory_order_relaxed); }

  // Exposed so tests can see the lock is free or hold it against the callers.
  CriticalSection& lock() noexcept { return lock_; }

 private:
  // Lock rules: lock_ guards records_ and is held for exactly one push or one pop; no
  // output is called and no other lock is taken while it is held. A caller waiting for
  // room holds no lock. length_ and bytes_ are written under lock_ and read without it.
  CriticalSection lock_;
  std::deque<std::unique_ptr<LogRecord>> records_;
  std::atomic<std::size_t> length_{0};
  std::atomic<std::size_t> bytes_{0};
  std::size_t byteLimit_ = kDefaultByteLimit;
  // Set by a pop that freed bytes, reset under lock_ by a caller about to wait for room,
  // so a pop between the caller's check and its wait still wakes it.
  Event roomFreed_{true, false};
};
