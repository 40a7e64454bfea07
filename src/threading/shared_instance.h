#pragma once

#include <cstdint>

#include "threading/critical_section.h"

// A process-wide object that some component may create and that is torn down at exit by
// the last SharedInstanceGuard. Nothing in this program creates one.
class SharedInstance {
 public:
  virtual ~SharedInstance() = default;
  // Ends whatever the instance runs. Called once, under the shared lock when it still
  // exists, just before the instance is deleted; it may take the instance away itself
  // (SharedInstanceGuard::SetInstance(nullptr)), and it is then not deleted again.
  virtual void Shutdown() = 0;
};

// Counted guards of the shared instance. Guards are process-wide start-up objects: they
// are built during single-threaded start-up and destroyed during single-threaded exit,
// so the count has no lock. The guard that brings the count to 0 shuts the instance
// down and deletes it, holding the shared lock if that lock still exists.
class SharedInstanceGuard {
 public:
  SharedInstanceGuard() noexcept { ++s_guardCount; }
  ~SharedInstanceGuard();
  SharedInstanceGuard(const SharedInstanceGuard&) = delete;
  SharedInstanceGuard& operator=(const SharedInstanceGuard&) = delete;

  static std::int32_t GuardCount() noexcept { return s_guardCount; }
  static SharedInstance* Instance() noexcept { return s_instance; }
  // Hands an instance to the guards (who own it from then on), or takes it away.
  static void SetInstance(SharedInstance* instance) noexcept { s_instance = instance; }
  // The shared lock, or null when no SharedInstanceLock exists (any more).
  static CriticalSection* SharedLock() noexcept { return s_sharedLock; }

 private:
  friend class SharedInstanceLock;

  static std::int32_t s_guardCount;
  static SharedInstance* s_instance;  // changed under the shared lock once threads run
  static CriticalSection* s_sharedLock;
};

// The lock the guards share: created with this object, deleted with it. In the
// process's start-up order it comes after two of the guards, so the guard that brings
// the count to 0 at exit finds it gone and tears the instance down without it, on the
// single exiting thread.
class SharedInstanceLock {
 public:
  SharedInstanceLock();
  ~SharedInstanceLock();
  SharedInstanceLock(const SharedInstanceLock&) = delete;
  SharedInstanceLock& operator=(const SharedInstanceLock&) = delete;

  CriticalSection& Section() noexcept { return section_; }

 private:
  CriticalSection section_;
};
