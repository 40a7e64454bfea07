#include "logging/log_queue.h"

namespace {

// How long a caller waiting for room sleeps before it looks at its keep-waiting flag again.
constexpr std::int64_t kRoomWaitStepMs = 200;

}  // namespace

LogQueue::~LogQueue() {
  // Records still queued are deleted unwritten, then the lock goes.
  records_.clear();
  lock_.Close();
}

void LogQueue::Push(std::unique_ptr<LogRecord> record, const std::atomic<bool>* keepWaiting) {
  const std::size_t bytes = record->QueuedBytes();
  for (;;) {
    {
      CriticalSectionLock hold(&lock_);
      const std::size_t held = bytes_.load(std::memory_order_relaxed);
      const bool fits = byteLimit_ == 0 || held == 0 || held + bytes <= byteLimit_;
      if (fits || keepWaiting == nullptr || !keepWaiting->load(std::memory_order_relaxed)) {
        records_.push_back(std::move(record));
        length_.store(records_.size(), std::memory_order_relaxed);
        bytes_.store(held + bytes, std::memory_order_relaxed);
        return;
      }
      roomFreed_.Reset();
    }
    roomFreed_.Wait(kRoomWaitStepMs);
  }
}

std::unique_ptr<LogRecord> LogQueue::Pop() {
  CriticalSectionLock hold(&lock_);
  if (records_.empty()) return nullptr;
  std::unique_ptr<LogRecord> front = std::move(records_.front());
  records_.pop_front();
  length_.store(records_.size(), std::memory_order_relaxed);
  bytes_.store(bytes_.load(std::memory_order_relaxed) - front->QueuedBytes(), std::memory_order_relaxed);
  roomFreed_.Set();
  return front;
}
