#include "logging/log_queue.h"

LogQueue::~LogQueue() {
  // Records still queued are deleted unwritten, then the lock goes.
  records_.clear();
  lock_.Close();
}

void LogQueue::Push(std::unique_ptr<LogRecord> record) {
  CriticalSectionLock hold(&lock_);
  records_.push_back(std::move(record));
  length_.store(records_.size(), std::memory_order_relaxed);
}

std::unique_ptr<LogRecord> LogQueue::Pop() {
  CriticalSectionLock hold(&lock_);
  if (records_.empty()) return nullptr;
  std::unique_ptr<LogRecord> front = std::move(records_.front());
  records_.pop_front();
  length_.store(records_.size(), std::memory_order_relaxed);
  return front;
}
