// A test that dies of a processor fault on a worker thread, nowhere near a handler: the
// suite must count it as failed. Its CTest verdict is turned around, so the suite stays
// green only while a crashed test program really fails its test.

#include <windows.h>

#include <gtest/gtest.h>

namespace {

DWORD WINAPI WriteThroughNull(void*) {
  *static_cast<volatile int*>(nullptr) = 1;
  return 0;
}

TEST(CrashDetection, AFaultOnAWorkerThreadFailsTheTest) {
  const HANDLE thread = ::CreateThread(nullptr, 0, &WriteThroughNull, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
  // Not reached: the fault ends the process first.
  SUCCEED();
}

}  // namespace
