#include "logging/log_queue.h"

#include <algorithm>
#include <cstdint>

namespace {

// How long a caller waiting for room sleeps before it looks at its keep-waiting flag again.
constexpr std::int64_t kRoomWaitStepMs = 200;

}  // namespace

LogQueue::~LogQueue() {
  // Records still queued are deleted unwritten.
  DeleteChain(taken_);
  DeleteChain(pushed_.exchange(nullptr));
}

void LogQueue::DeleteChain(LogRecord* first) noexcept {
  while (first != nullptr) {
    LogRecord* next = first->next_;
    delete first;
    first = next;
  }
}

bool LogQueue::Fits(std::size_t held, std::size_t bytes) const noexcept {
  return byteLimit_ == 0 || held == 0 || held + bytes <= byteLimit_;
}

void LogQueue::Push(std::unique_ptr<LogRecord> record, const std::atomic<bool>* keepWaiting) {
  const std::size_t bytes = record->QueuedBytes();
  std::size_t held = bytes_.load();
  for (;;) {
    if (Fits(held, bytes) || keepWaiting == nullptr || !keepWaiting->load(std::memory_order_relaxed)) {
      if (bytes_.compare_exchange_weak(held, held + bytes)) break;
      continue;  // another caller or a pop moved the count: judge again
    }
    roomFreed_.Reset();
    roomWaiters_.fetch_add(1);
    // A pop between the check above and this one has not seen the count: look again.
    if (!Fits(bytes_.load(), bytes)) {
      roomWanted_.Set();
      roomFreed_.Wait(kRoomWaitStepMs);
    }
    roomWaiters_.fetch_sub(1);
    held = bytes_.load();
  }
  length_.fetch_add(1, std::memory_order_relaxed);
  LogRecord* const newest = record.release();
  newest->next_ = pushed_.load(std::memory_order_relaxed);
  while (!pushed_.compare_exchange_weak(newest->next_, newest, std::memory_order_release,
                                        std::memory_order_relaxed)) {
  }
}

std::unique_ptr<LogRecord> LogQueue::Pop() {
  if (taken_ == nullptr) {
    // The chain comes newest first; turned round, it is in arrival order.
    LogRecord* newestFirst = pushed_.exchange(nullptr, std::memory_order_acquire);
    while (newestFirst != nullptr) {
      // A thread carves its records one after the other, so the older ones mostly lie
      // just below: asked for ahead, the walk does not wait for memory at each record.
      // (A prefetch never faults, wherever the address points.)
      __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(newestFirst) - 1024));
      LogRecord* const next = newestFirst->next_;
      newestFirst->next_ = taken_;
      taken_ = newestFirst;
      newestFirst = next;
    }
  }
  LogRecord* front = taken_;
  if (front == nullptr) return nullptr;
  taken_ = front->next_;
  front->next_ = nullptr;
  length_.fetch_sub(1, std::memory_order_relaxed);
  const std::size_t left = bytes_.fetch_sub(front->QueuedBytes()) - front->QueuedBytes();
  if (left <= byteLimit_ / 2 && roomWaiters_.load() > 0) roomFreed_.Set();
  return std::unique_ptr<LogRecord>(front);
}

int LogQueue::WaitBetweenDrains(Event& stop, std::int64_t timeoutMs, const HANDLE* others, std::size_t count) {
  HANDLE handles[2 + kMaxOtherEvents] = {stop.Handle(), roomWanted_.Handle()};
  count = std::min(count, kMaxOtherEvents);
  if (count > 0) std::copy(others, others + count, handles + 2);
  const int woken = Event::WaitAny(handles, 2 + count, timeoutMs);
  // Only a wake that a drain follows answers the request for room.
  if (woken <= 2) roomWanted_.Reset();
  return woken;
}
