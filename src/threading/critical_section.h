#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

// A re-entrant lock over a Win32 critical section, which also counts its entries and
// remembers the thread that holds it. After Close (or when the lock was deleted at exit
// before a late user) Enter and Leave do nothing.
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
  void Close() noexcept;
  void Enter() noexcept;
  // Undoes one Enter of the calling thread. A Leave with nothing to undo (count 0, a
  // thread that does not hold the section, a closed section) does nothing.
  void Leave() noexcept;

  DWORD owner() const noexcept { return owner_.load(std::memory_order_relaxed); }
  std::int32_t count() const noexcept { return count_; }
  bool isOpen() const noexcept { return section_ != nullptr; }

 private:
  struct Deleter {
    void operator()(CRITICAL_SECTION* section) const noexcept {
      ::DeleteCriticalSection(section);
      delete section;
    }
  };

  std::unique_ptr<CRITICAL_SECTION, Deleter> section_;
  std::atomic<DWORD> owner_{0};  // 0 while nobody holds the section
  std::int32_t count_ = 0;       // entries of the owner not yet left
};

// Holds a CriticalSection for its scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection* section) noexcept : section_(section) { section_->Enter(); }
  ~CriticalSectionLock() { section_->Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection* section_;
};
