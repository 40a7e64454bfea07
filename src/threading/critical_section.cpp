#include "threading/critical_section.h"

CriticalSection::CriticalSection() : section_(new CRITICAL_SECTION) {
  ::InitializeCriticalSection(section_.get());
}

void CriticalSection::Close() {
  section_.reset();
  owner_.store(0, std::memory_order_relaxed);
}

void CriticalSection::Enter() {
  if (!section_) return;
  ::EnterCriticalSection(section_.get());
  owner_.store(::GetCurrentThreadId(), std::memory_order_relaxed);
  ++count_;
}

void CriticalSection::Leave() {
  // The owner test comes first and keeps a thread that does not hold the section away
  // from the holder's count and from LeaveCriticalSection, which would corrupt the
  // system's lock.
  if (!section_ || Owner() != ::GetCurrentThreadId() || count_ == 0) return;
  if (--count_ == 0) owner_.store(0, std::memory_order_relaxed);
  ::LeaveCriticalSection(section_.get());
}
