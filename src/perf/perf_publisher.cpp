#include "perf/perf_publisher.h"

constinit UniqueEventSource PerfPublisher::s_eventSource;
std::int32_t PerfPublisher::s_instanceCount = 0;

PerfPublisher::PerfPublisher(const wchar_t* serviceName, PerfTableEntry* table)
    : serviceName_(serviceName), table_(table) {
  // A publisher whose lock failed is still a publisher: the counters can be published
  // without cross-process serialisation, so the result is deliberately not examined.
  (void)lock_.Create(serviceName_, true, kLockSpinCount);
  CountTable();
  ++s_instanceCount;
}

PerfPublisher::~PerfPublisher() {
  counterBlockView_.reset();
  counterBlockSection_.reset();
  if (--s_instanceCount <= 0) s_eventSource.reset();
  // The lock member is destroyed last.
}

void PerfPublisher::AdoptCounterBlock(HANDLE section, void* view) noexcept {
  counterBlockView_.reset(view);
  counterBlockSection_.reset(section);
}

void PerfPublisher::CountTable() {
  // Each object's counterCount is zeroed before counting, so counting the same table
  // again gives the same table.
  std::int32_t lastObject = -1;
  for (std::int32_t i = 0; table_[i].kind != kPerfEntryEnd; ++i) {
    ++entryCount_;
    PerfTableEntry& entry = table_[i];
    if (entry.kind == kPerfEntryObject) {
      ++objectCount_;
      if (lastObject >= 0) table_[lastObject].nextObject = i;
      entry.counterCount = 0;
      entry.nextObject = -1;
      lastObject = i;
    } else if (entry.kind == kPerfEntryCounter && lastObject >= 0) {
      ++table_[lastObject].counterCount;
    }
  }
}
