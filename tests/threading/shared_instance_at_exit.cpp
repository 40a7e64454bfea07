// Linked with the process-wide objects: hands the shared-instance guards an instance
// that reports its teardown, which happens after main returns.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "threading/shared_instance.h"

namespace {

// Straight to the output handle: the C run time's streams may be gone by then.
void Report(const char* text) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

class ReportingInstance : public SharedInstance {
 public:
  ~ReportingInstance() override { Report("deleted\n"); }
  void Shutdown() override {
    Report(SharedInstanceGuard::SharedLock() == nullptr ? "shutdown without the lock\n" : "shutdown under the lock\n");
  }
};

}  // namespace

int main() {
  char line[32] = {};
  std::snprintf(line, sizeof(line), "guards %d\n", static_cast<int>(SharedInstanceGuard::GuardCount()));
  Report(line);
  SharedInstanceGuard::SetInstance(new ReportingInstance);
  return 0;
}
