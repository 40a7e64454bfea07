#include "threading/shared_instance.h"

std::int32_t SharedInstanceGuard::s_guardCount = 0;
SharedInstance* SharedInstanceGuard::s_instance = nullptr;
CriticalSection* SharedInstanceGuard::s_sharedLock = nullptr;

SharedInstanceGuard::~SharedInstanceGuard() {
  if (--s_guardCount != 0) return;
  CriticalSection* lock = s_sharedLock;
  if (lock) lock->Enter();
  if (s_instance) {
    s_instance->Shutdown();
    // Shutdown may have taken the instance away itself.
    delete s_instance;
  }
  s_instance = nullptr;
  if (lock) lock->Leave();
}

SharedInstanceLock::SharedInstanceLock() { SharedInstanceGuard::s_sharedLock = &section_; }

// The pointer goes before the section does, so no guard ever reaches a destroyed lock.
SharedInstanceLock::~SharedInstanceLock() {
  if (SharedInstanceGuard::s_sharedLock == &section_) SharedInstanceGuard::s_sharedLock = nullptr;
}
