#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "logging/log_record.h"
#include "threading/event.h"

// Records waiting for the logger thread, first in first out. Any thread pushes; only the
// logger thread pops. The logger's queue limit (a record count) only changes which
// outputs are served; what bounds the memory is the byte limit here: a caller whose
// record would take the queue past it waits until the logger thread has drained enough,
// so a stalled output slows the callers down instead of exhausting the process's memory,
// and no record is dropped for it.
//
// The records are chained through their own link, so queueing allocates nothing, and a
// push is one atomic exchange on the chain's head instead of a lock: callers on several
// processors never put each other to sleep. The logger thread takes the whole chain at
// once, puts it back in arrival order and hands the records out one by one.
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
  // whole bound waits only for an empty queue).
  void Push(std::unique_ptr<LogRecord> record, const std::atomic<bool>* keepWaiting = nullptr);

  // Takes the front record, or null when the queue is empty. One thread at a time.
  std::unique_ptr<LogRecord> Pop();

  // For the popping thread between its drains: waits until `stop` is set, a caller starts
  // to wait for room, any of `others` is signalled (at most kMaxOtherEvents; the logger
  // waits on its collectors' sockets so), or timeoutMs pass. Answers as Event::WaitAny
  // does: 1 stop, 2 a caller wants room, 3 + the index of the first of `others`
  // signalled, 0 timed out. A wake for one of `others` leaves a caller's request for room
  // standing for the next wait.
  static constexpr std::size_t kMaxOtherEvents = 60;
  int WaitBetweenDrains(Event& stop, std::int64_t timeoutMs, const HANDLE* others = nullptr, std::size_t count = 0);

  // The records and bytes still waiting: pushed and not yet popped (a record the logger
  // thread has taken into its batch but not yet popped still counts). The watch of the
  // queue accepts a slightly stale value.
  std::size_t Length() const noexcept { return length_.load(std::memory_order_relaxed); }
  std::size_t Bytes() const noexcept { return bytes_.load(std::memory_order_relaxed); }

 private:
  bool Fits(std::size_t held, std::size_t bytes) const noexcept;
  static void DeleteChain(LogRecord* first) noexcept;

  // Concurrency: pushed_ is the newest record of the callers' chain (newest first); a
  // caller links its record in with a compare-exchange, the popping thread takes the
  // whole chain with an exchange. taken_ belongs to the popping thread alone. A caller
  // reserves its record's bytes in bytes_ (compare-exchange, so two callers cannot both
  // take the last room) before it links the record; a pop gives them back.
  std::atomic<LogRecord*> pushed_{nullptr};
  LogRecord* taken_ = nullptr;  // the batch being handed out, oldest first
  std::atomic<std::size_t> length_{0};
  std::atomic<std::size_t> bytes_{0};
  std::size_t byteLimit_ = kDefaultByteLimit;
  // Callers waiting for room. A pop signals roomFreed_ only when there are some, and only
  // once it has left at most half the bound queued: a signal is a system call and wakes
  // every waiter, so a signal for each record's room would cost the drain several system
  // calls per record while callers wait, where one signal lets them fill half the bound.
  // The drain goes on until the queue is empty, so a waiter is always signalled. A waiter
  // counts itself before it looks at the bytes a last time, and a pop lowers the bytes
  // before it looks at the count, so one of the two always sees the other.
  std::atomic<int> roomWaiters_{0};
  Event roomFreed_{true, false};
  // Only a drain makes room, so the popping thread must not sleep out its cycle while a
  // caller waits: a caller sets roomWanted_ once it has seen the queue full, and the
  // popping thread resets it as it wakes, before the drain that follows. The records
  // that caller waits behind are still queued when it sets the event, so that drain
  // frees them; a caller that asks again after the reset sets it again.
  Event roomWanted_{true, false};
};
