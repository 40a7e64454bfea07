#include "threading/thread.h"

#include <process.h>

#include <cerrno>
#include <cstring>

#include "logging/logging_calls.h"
#include "logging/thread_names.h"

Thread::Thread(const char* name) {
  if (name != nullptr) {
    const std::size_t length = std::strlen(name) + 1;
    name_ = std::make_unique<char[]>(length);
    std::memcpy(name_.get(), name, length);
  }
}

Thread::~Thread() { Stop(kInfinite); }

bool Thread::Start() {
  if (thread_) return false;
  stopEvent_.Reset();

  unsigned identifier = 0;
  const std::uintptr_t handle =
      ::_beginthreadex(nullptr, 0, &ThreadProc, this, CREATE_SUSPENDED, &identifier);
  if (handle == 0) {
    LogMessageA(kLogError, "Thread::Start() - begin thread call failed, errno=%d", errno);
    return false;
  }
  thread_.reset(reinterpret_cast<HANDLE>(handle));
  threadId_ = identifier;
  if (priority_ != 0) SetPriority(priority_);
  ::ResumeThread(thread_.get());
  return true;
}

void Thread::Stop(DWORD timeoutMs) {
  if (!thread_) return;
  stopEvent_.Set();
  // A thread's own body cannot wait for its end: the request is made, and the owner's
  // Stop (or the destructor) waits once the body has returned.
  if (::GetCurrentThreadId() == threadId_) return;
  if (::WaitForSingleObject(thread_.get(), timeoutMs) != WAIT_OBJECT_0) {
    LogMessageA(kLogError, "Thread::Stop() - hung thread Id=0x%X, Handle=0x%I64x, timeout=%I64d ms",
                threadId_,
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(thread_.get())),
                static_cast<long long>(static_cast<std::int32_t>(timeoutMs)));
  }
  thread_.reset();
}

void Thread::Stop() { Stop(kInfinite); }

void Thread::SignalStop() { stopEvent_.Set(); }

int Thread::Win32Priority(int step) {
  if (step < -2) return THREAD_PRIORITY_IDLE;
  if (step > 2) return THREAD_PRIORITY_TIME_CRITICAL;
  return step;  // -2 lowest, -1 below normal, 0 normal, 1 above normal, 2 highest
}

void Thread::SetPriority(int step) {
  priority_ = step;
  if (thread_) ::SetThreadPriority(thread_.get(), Win32Priority(step));
}

unsigned __stdcall ThreadProc(void* object) {
  Thread* thread = static_cast<Thread*>(object);
  if (thread == nullptr) return 0;
  RegisterThreadName(thread->Name() != nullptr ? thread->Name() : "Unnamed");
  struct UnregisterAtExit {
    ~UnregisterAtExit() { UnregisterThreadName(); }
  } unregister;
  thread->Run();
  return 0;
}
