#pragma once

#include <windows.h>

#include <cstdint>

#include "perf/optex.h"
#include "perf/perf_table.h"
#include "win32/unique_resource.h"

// The process's publisher of the server's performance object. Building it creates or
// opens the service's cross-process lock and fills in the table's counts; opening the
// counter block and the event source belongs to the publishing side of the server, and
// this class only releases them.
class PerfPublisher {
 public:
  static constexpr std::uint32_t kLockSpinCount = 4000;

  // serviceName must outlive the publisher; table is writable and ends with an end entry.
  PerfPublisher(const wchar_t* serviceName, PerfTableEntry* table);
  ~PerfPublisher();
  PerfPublisher(const PerfPublisher&) = delete;
  PerfPublisher& operator=(const PerfPublisher&) = delete;

  const wchar_t* ServiceName() const noexcept { return serviceName_; }
  PerfTableEntry* Table() const noexcept { return table_; }
  std::int32_t EntryCount() const noexcept { return entryCount_; }
  std::int32_t ObjectCount() const noexcept { return objectCount_; }
  const Optex& Lock() const noexcept { return lock_; }

  // Hands a mapped counter block to the publisher, which releases it at destruction.
  void AdoptCounterBlock(HANDLE section, void* view) noexcept;

  // Values shared by all publishers of the process. The event source is deregistered by
  // the destruction that brings the instance count to zero.
  static std::int32_t InstanceCount() noexcept { return s_instanceCount; }
  static HANDLE EventSource() noexcept { return s_eventSource.get(); }
  static void SetEventSource(HANDLE source) noexcept { s_eventSource.reset(source); }

 private:
  void CountTable();

  const wchar_t* serviceName_;
  PerfTableEntry* table_;
  std::int32_t entryCount_ = 0;
  std::int32_t objectCount_ = 0;
  UniqueHandle counterBlockSection_;
  UniqueMappedView counterBlockView_;
  Optex lock_;

  // Built and destroyed during single-threaded start-up and exit, so no lock. Constant-
  // initialised, so it outlives every publisher built at start-up.
  static constinit UniqueEventSource s_eventSource;
  static std::int32_t s_instanceCount;
};

// The process-wide publisher, defined with the other process-wide objects in their
// start-up order.
PerfPublisher& ProcessPerfPublisher();
