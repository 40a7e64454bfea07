#include "logging/thread_names.h"

#include "logging/logging_calls.h"
#include "text/code_page.h"

ThreadNameRegistry::ThreadNameRegistry() { enabled_.store(true, std::memory_order_relaxed); }

ThreadNameRegistry::~ThreadNameRegistry() {
  enabled_.store(false, std::memory_order_relaxed);
  lock_.Close();
}

void ThreadNameRegistry::Add(DWORD threadId, const char* name) {
  if (!Enabled()) return;
  CriticalSectionLock hold(&lock_);
  names_[threadId] = name;
}

bool ThreadNameRegistry::Remove(DWORD threadId, std::string* name) {
  if (!Enabled()) return false;
  CriticalSectionLock hold(&lock_);
  const auto entry = names_.find(threadId);
  if (entry == names_.end()) return false;
  *name = std::move(entry->second);
  names_.erase(entry);
  return true;
}

bool ThreadNameRegistry::First(Iterator* iterator, DWORD* threadId, std::string* name) {
  lock_.Enter();
  *iterator = names_.cbegin();
  return Next(iterator, threadId, name);
}

bool ThreadNameRegistry::Next(Iterator* iterator, DWORD* threadId, std::string* name) {
  if (*iterator == names_.cend()) {
    lock_.Leave();
    return false;
  }
  *threadId = (*iterator)->first;
  *name = (*iterator)->second;
  ++*iterator;
  return true;
}

void RegisterThreadName(const char* name) {
  const DWORD threadId = ::GetCurrentThreadId();
  ProcessThreadNames().Add(threadId, name);
  TemporaryWideText wideName(name);
  LogMessage(kLogInformation, L"[DIAG] EVENT=Register_thread, THREADID=0x%X, THREADNAME=\"%s\"",
             threadId, wideName.get());
}

void UnregisterThreadName() {
  const DWORD threadId = ::GetCurrentThreadId();
  std::string name;
  if (!ProcessThreadNames().Remove(threadId, &name)) return;
  TemporaryWideText wideName(name.c_str());
  LogMessage(kLogInformation, L"[DIAG] EVENT=Unregister_thread, THREADID=0x%X, THREADNAME=\"%s\"",
             threadId, wideName.get());
}
