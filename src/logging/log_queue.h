#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>

#include "logging/log_record.h"
#include "threading/critical_section.h"

// Records waiting for the logger thread, first in first out. Any thread pushes; only the
// logger thread pops. The queue has no capacity limit of its own: the logger's queue
// limit only changes which outputs are served.
class LogQueue {
 public:
  LogQueue() = default;
  ~LogQueue();
  LogQueue(const LogQueue&) = delete;
  LogQueue& operator=(const LogQueue&) = delete;

  // Appends at the back. Throws what the sequence throws when it cannot grow (the record
  // is then released by the caller's pointer).
  void Push(std::unique_ptr<LogRecord> record);

  // Takes the front record, or null when the queue is empty.
  std::unique_ptr<LogRecord> Pop();

  // The length as of the last push or pop, read without the lock: the queue watch accepts
  // a slightly stale value and must not contend with the callers.
  std::size_t Length() const noexcept { return length_.load(std::memory_order_relaxed); }

  // Exposed so tests can see the lock is free or hold it against the callers.
  CriticalSection& lock() noexcept { return lock_; }

 private:
  // Lock rules: lock_ guards records_ and is held for exactly one push or one pop; no
  // output is called and no other lock is taken while it is held.
  CriticalSection lock_;
  std::deque<std::unique_ptr<LogRecord>> records_;
  std::atomic<std::size_t> length_{0};
};
