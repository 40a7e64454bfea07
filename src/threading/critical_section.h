#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "win32/unique_resource.h"

// A re-entrant lock over a Win32 critical section, which also counts its entries and
// remembers the thread that holds it. After Close (or when the lock was deleted at exit
// before a late user) Enter and Leave do nothing. The operations read the object the
// caller names and are not noexcept: on a guarded thread a call through a bad pointer
// reaches the caller's handler.
//
// Locking rules: owner and count are written only by the thread that holds the section.
// Other threads may read owner() for diagnostics and may see a stale value; a thread
// always sees its own identifier there exactly while it holds the section. Close only
// when no other thread holds or waits for the section.
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Deletes the system's critical section; the owner becomes 0, the count stays.
  void Close();
  void Enter();
  // Undoes one Enter of the calling thread. A Leave with nothing to undo (count 0, a
  // thread that does not hold the section, a closed section) does nothing.
  void Leave();

  DWORD Owner() const noexcept { return owner_.load(std::memory_order_relaxed); }
  std::int32_t Count() const noexcept { return count_; }
  bool IsOpen() const { return static_cast<bool>(section_); }

 private:
  struct SectionTraits {
    using pointer = CRITICAL_SECTION*;
    static pointer none() noexcept { return nullptr; }
    static void close(pointer section) noexcept {
      ::DeleteCriticalSection(section);
      delete section;
    }
  };

  UniqueResource<SectionTraits> section_;
  std::atomic<DWORD> owner_{0};  // 0 while nobody holds the section
  std::int32_t count_ = 0;       // entries of the owner not yet left
};

// Holds a CriticalSection for its scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection* section) : section_(section) { section_->Enter(); }
  ~CriticalSectionLock() { section_->Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection* section_;
};
