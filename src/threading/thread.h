#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "threading/event.h"
#include "win32/unique_resource.h"

// Base of every long-running worker. Owns one operating-system thread at a time, the
// name it registers for diagnostics, its priority and the stop event through which the
// owner asks it to end. The thread is created suspended, given its priority and only
// then resumed, so the body never runs at the wrong priority.
//
// Start, Stop, SetPriority and destruction belong to the owner's thread (the body may
// call Stop, which then only asks); SignalStop may be called from any thread.
class Thread {
 public:
  static constexpr DWORD kInfinite = INFINITE;

  // name may be null: the thread then registers as "Unnamed".
  explicit Thread(const char* name);
  // Stops the thread with no time limit. A subclass's members are already gone by then,
  // so owners stop the thread before destroying the object.
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Creates and starts the thread; false when one is already held or creation failed.
  virtual bool Start();
  // Sets the stop event and waits up to timeoutMs for the thread to end. A thread that
  // does not end in time is reported and left running, detached from this object. Called
  // from the thread's own body, it only sets the stop event: the thread stays attached.
  virtual void Stop(DWORD timeoutMs);
  virtual void Stop();
  // Sets the stop event and returns at once.
  virtual void SignalStop();

  // Stores the priority step (-3 and below idle ... 3 and above time critical) and applies
  // it to a running thread.
  void SetPriority(int step);
  static int Win32Priority(int step);

  int Priority() const noexcept { return priority_; }
  DWORD ThreadId() const noexcept { return threadId_; }
  HANDLE ThreadHandle() const noexcept { return thread_.get(); }
  const char* Name() const noexcept { return name_.get(); }
  Event& StopEvent() noexcept { return stopEvent_; }

 protected:
  // The body, run on the new thread. It must return once the stop event is set.
  virtual void Run() = 0;

 private:
  friend unsigned __stdcall ThreadProc(void* object);

  int priority_ = 0;
  Event stopEvent_{true, false};
  UniqueHandle thread_;
  DWORD threadId_ = 0;  // of the last thread created; kept after it stopped
  std::unique_ptr<char[]> name_;
};

// Start routine of every Thread: registers the thread's name, runs the body and
// unregisters the name, also when the body leaves by an exception.
unsigned __stdcall ThreadProc(void* object);
