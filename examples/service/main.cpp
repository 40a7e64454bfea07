// A service's use of the library: the process-wide logger, already built before main,
// gets its debug file and is started; two named threads log through the logging calls;
// stopping the logger writes every queued record and closes the file.
//
//   example-service.exe     writes example-service-trace.txt beside itself

#include <windows.h>

#include <cstdio>
#include <string>

#include "app/process_objects.h"
#include "logging/debug_logger.h"
#include "logging/logging_calls.h"
#include "threading/thread.h"

namespace {

constexpr int kRecordsPerWorker = 5;

// A Thread registers its name, so the debug file says which thread wrote each record.
class Worker : public Thread {
 public:
  Worker(const char* name, int number) : Thread(name), number_(number) {}
  ~Worker() override { Stop(); }

 protected:
  void Run() override {
    for (int i = 1; i <= kRecordsPerWorker; ++i) LogMessage(3, L"record %d of worker %d", i, number_);
  }

 private:
  int number_;
};

// A service's current folder is the system folder, so its files are named from its own
// path rather than relative to the current folder.
std::wstring FileBesideProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return name;
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

}  // namespace

int main() {
  DebugLogger& logger = ProcessDebugLogger();
  logger.SetApplicationName(L"example-service");
  logger.SetDebugFilePath(FileBesideProgram(L"example-service-trace.txt"));
  // The logger accepts records once its thread has opened the outputs.
  if (!logger.Start() || !logger.WaitForRunning(5000)) {
    std::fputs("example-service: the logger thread did not start\n", stderr);
    return 1;
  }

  LogMessage(3, L"example-service started");
  {
    Worker first("worker-1", 1);
    Worker second("worker-2", 2);
    first.Start();
    second.Start();
  }  // each worker's destructor waits for its thread
  LogMessage(3, L"example-service stopping");

  logger.Stop();
  return 0;
}
