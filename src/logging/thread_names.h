#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <string>

#include "threading/critical_section.h"

// Names of the live worker threads by identifier, so the log can say which identifier
// belongs to which thread. One instance per process, built right after the logger.
class ThreadNameRegistry {
 public:
  using Iterator = std::map<DWORD, std::string>::const_iterator;

  ThreadNameRegistry();
  // Disables the registry first, so a late thread's Add or Remove changes nothing.
  ~ThreadNameRegistry();
  ThreadNameRegistry(const ThreadNameRegistry&) = delete;
  ThreadNameRegistry& operator=(const ThreadNameRegistry&) = delete;

  // Sets (or replaces) the name of a thread. Does nothing once disabled.
  void Add(DWORD threadId, const char* name);
  // Takes a thread's entry out and copies its name; false when it has none or the
  // registry is disabled.
  bool Remove(DWORD threadId, std::string* name);

  // A walk: First enters the lock and the lock is left only by the Next that answers
  // false, so every walk must run to its end. The lock is re-entrant: the walking thread
  // may log, and even walk again, but must not change the registry while it walks.
  bool First(Iterator* iterator, DWORD* threadId, std::string* name);
  bool Next(Iterator* iterator, DWORD* threadId, std::string* name);

  bool Enabled() const noexcept { return enabled_.load(std::memory_order_relaxed); }
  const CriticalSection& Lock() const noexcept { return lock_; }

 private:
  // Changes only during construction and destruction, when no other thread uses the
  // registry, so it is read before the lock.
  std::atomic<bool> enabled_{false};
  // Lock rules: lock_ guards names_ and is held for one change or a whole walk. A walking
  // thread may log, since queueing a record takes no lock; nothing that holds another lock
  // of the logger takes this one.
  std::map<DWORD, std::string> names_;
  CriticalSection lock_;
};

// Registers the calling thread under the name and logs "Register_thread" (also when the
// registry is disabled).
void RegisterThreadName(const char* name);
// Removes the calling thread's entry and, when there was one, logs "Unregister_thread".
void UnregisterThreadName();

// The process-wide registry, defined with the other process-wide objects in their start-up
// order, right after the logger.
ThreadNameRegistry& ProcessThreadNames();
