#include "logging/log_queue.h"

namespace {

// How long a caller waiting for room sleeps before it looks at its keep-waiting flag again.
constexpr std::int64_t kRoomWaitStepMs = 200;

}  // namespace

LogQueue::~LogQueue() {
  // Records still queued are deleted unwritten, then the lock goes.
  DeleteChain(taken_);
  DeleteChain(head_);
  lock_.Close();
}

void LogQueue::DeleteChain(LogRecord* first) noexcept {
  while (first != nullptr) {
    LogRecord* next = first->next_;
    delete first;
    first = next;
  }
}

bool LogQueue::Fits(std::size_t bytes) const noexcept {
  const std::size_t held = bytes_.load();
  return byteLimit_ == 0 || held == 0 || held + bytes <= byteLimit_;
}

void LogQueue::Push(std::unique_ptr<LogRecord> record, const std::atomic<bool>* keepWaiting) {
  const std::size_t bytes = record->QueuedBytes();
  for (;;) {
    {
      CriticalSectionLock hold(&lock_);
      if (Fits(bytes) || keepWaiting == nullptr || !keepWaiting->load(std::memory_order_relaxed)) {
        LogRecord* last = record.release();
        last->next_ = nullptr;
        if (tail_ != nullptr) {
          tail_->next_ = last;
        } else {
          head_ = last;
        }
        tail_ = last;
        length_.fetch_add(1, std::memory_order_relaxed);
        bytes_.fetch_add(bytes);
        return;
      }
      roomFreed_.Reset();
      roomWaiters_.fetch_add(1);
    }
    // A pop between the check above and this one has not seen the count: look again.
    if (!Fits(bytes)) roomFreed_.Wait(kRoomWaitStepMs);
    roomWaiters_.fetch_sub(1);
  }
}

std::unique_ptr<LogRecord> LogQueue::Pop() {
  if (taken_ == nullptr) {
    CriticalSectionLock hold(&lock_);
    taken_ = head_;
    head_ = nullptr;
    tail_ = nullptr;
  }
  LogRecord* front = taken_;
  if (front == nullptr) return nullptr;
  taken_ = front->next_;
  front->next_ = nullptr;
  length_.fetch_sub(1, std::memory_order_relaxed);
  bytes_.fetch_sub(front->QueuedBytes());
  if (roomWaiters_.load() > 0) roomFreed_.Set();
  return std::unique_ptr<LogRecord>(front);
}
