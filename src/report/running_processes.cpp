#include "report/running_processes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

#include "diagnostics/structured_exception.h"
#include "logging/log_levels.h"
#include "report/performance_data.h"
#include "report/report_environment.h"
#include "win32/unique_resource.h"

namespace {

constexpr const char* kProcesses = "ReportEnvironment::ReportCurrentProcesses";
constexpr const char* kProcessesNT = "ReportEnvironment::ReportCurrentProcessesNT";
constexpr const wchar_t* kRunningProcess = L"[ENV] Running Process: %s, ID: %u";

constexpr DWORD kPerformanceFirstBytes = 51200;
constexpr DWORD kPerformanceGrowthBytes = 25600;
constexpr std::size_t kMaxPerformanceProcesses = 256;
constexpr DWORD kEnglishLanguage = 9;

struct FreeDeleter {
  void operator()(void* memory) const noexcept { std::free(memory); }
};
using MallocBuffer = std::unique_ptr<BYTE, FreeDeleter>;

// Closing is guarded apart from the walk: a fault there is reported on its own line.
// Not noexcept, so that a translated fault can leave it.
void CloseSnapshot(UniqueFileHandle& snapshot) { ::CloseHandle(snapshot.release()); }

}  // namespace

ToolhelpFunctions KernelToolhelpFunctions() {
  ToolhelpFunctions functions;
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return functions;
  const auto lookUp = [kernel](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(kernel, name)); };
  functions.createSnapshot = reinterpret_cast<ToolhelpFunctions::CreateSnapshot>(lookUp("CreateToolhelp32Snapshot"));
  functions.first = reinterpret_cast<ToolhelpFunctions::WalkProcesses>(lookUp("Process32FirstW"));
  functions.next = reinterpret_cast<ToolhelpFunctions::WalkProcesses>(lookUp("Process32NextW"));
  return functions;
}

void ReportEnvironment::ReportCurrentProcesses() { ReportCurrentProcesses(KernelToolhelpFunctions()); }

void ReportEnvironment::ReportCurrentProcesses(const ToolhelpFunctions& toolhelp, PerformanceDataQuery query) {
  UniqueFileHandle snapshot;
  try {
    if (!toolhelp.Complete()) {
      ReportCurrentProcessesNT(query);
      return;
    }
    // A failed snapshot lists nothing: the first walk call fails on it.
    snapshot.reset(toolhelp.createSnapshot(TH32CS_SNAPALL, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = toolhelp.first(snapshot.get(), &entry); more == TRUE;
         more = toolhelp.next(snapshot.get(), &entry)) {
      if (entry.th32ProcessID == 0) continue;  // the idle process
      WriteLine(kLogInformation, kProcesses, __LINE__, kRunningProcess, entry.szExeFile,
                static_cast<unsigned>(entry.th32ProcessID));
    }
    CloseSnapshot(snapshot);
    return;
  } catch (const StructuredException& fault) {
    WriteLine(kLogError, kProcesses, __LINE__, L"Failed to enumerate processes. Exception code : 0x%X",
              static_cast<unsigned>(fault.code));
  } catch (...) {
    WriteFixed(kLogError, kProcesses, __LINE__, L"Failed to enumerate processes. An unknown exception occurred.");
  }

  if (!snapshot) return;
  try {
    CloseSnapshot(snapshot);
  } catch (const StructuredException& fault) {
    WriteLine(kLogError, kProcesses, __LINE__,
              L"Failed to close handle after enumerating processes. Exception code: 0x%X",
              static_cast<unsigned>(fault.code));
  } catch (...) {
    WriteFixed(kLogError, kProcesses, __LINE__,
               L" Failed to close handle after enumerating processes. An unknown exception occurred.");
  }
}

void ReportEnvironment::ReportCurrentProcessesNT(PerformanceDataQuery query) {
  PerformanceDataSession session;

  // The Process object's index becomes the item list of the query; without one in the
  // counter names, the query is made with the key path itself.
  wchar_t items[1024] = {};
  ::_snwprintf(items, 1023, L"%s\\%03x", L"software\\microsoft\\windows nt\\currentversion\\perflib",
               kEnglishLanguage);
  HKEY rawKey = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, items, 0, KEY_READ, &rawKey) != ERROR_SUCCESS) {
    WriteFixed(kLogInformation, kProcessesNT, __LINE__, L"[ENV] Could not open performance registry key!");
    return;
  }
  const UniqueRegistryKey perflib(rawKey);

  DWORD idProcessIndex = 0;
  {
    DWORD namesBytes = 0;
    if (::RegQueryValueExW(perflib.get(), L"Counters", nullptr, nullptr, nullptr, &namesBytes) != ERROR_SUCCESS) {
      WriteFixed(kLogInformation, kProcessesNT, __LINE__, L"[ENV] Could not open counter registry key!");
      return;
    }
    MallocBuffer names(static_cast<BYTE*>(std::calloc(namesBytes + sizeof(wchar_t), 1)));
    if (!names) {
      WriteFixed(kLogInformation, kProcessesNT, __LINE__, L"[ENV] Out of Memory!");
      return;
    }
    if (::RegQueryValueExW(perflib.get(), L"Counters", nullptr, nullptr, names.get(), &namesBytes) != ERROR_SUCCESS) {
      WriteFixed(kLogInformation, kProcessesNT, __LINE__, L"[ENV] Could Not Read the counter Names!");
      return;
    }
    const ProcessCounterIndexes indexes =
        FindProcessCounterIndexes(reinterpret_cast<const wchar_t*>(names.get()), namesBytes / sizeof(wchar_t));
    if (indexes.processFound) {
      std::wmemset(items, 0, 1024);
      std::wcsncpy(items, indexes.processItem.c_str(), 1023);
    }
    idProcessIndex = indexes.idProcessIndex;
  }

  DWORD size = kPerformanceFirstBytes;
  MallocBuffer data(static_cast<BYTE*>(std::calloc(size, 1)));
  if (!data) {
    WriteFixed(kLogInformation, kProcessesNT, __LINE__, L"[ENV] Out of Memory!");
    return;
  }
  DWORD returned = size;
  LONG status;
  while ((status = query(items, data.get(), &returned)) == ERROR_MORE_DATA) {
    BYTE* grown = static_cast<BYTE*>(std::realloc(data.get(), size + kPerformanceGrowthBytes));
    if (grown == nullptr) {
      WriteFixed(kLogInformation, kProcessesNT, __LINE__, L"[ENV] Could Not Allocate Performance Data!");
      return;
    }
    static_cast<void>(data.release());
    data.reset(grown);
    size += kPerformanceGrowthBytes;
    std::memset(data.get(), 0, size);
    returned = size;
  }
  const PerformanceProcessList list =
      status == ERROR_SUCCESS
          ? ReadPerformanceProcesses(data.get(), std::min(returned, size), idProcessIndex, kMaxPerformanceProcesses)
          : PerformanceProcessList{};
  for (const PerformanceProcess& process : list.processes) {
    WriteLine(kLogInformation, kProcessesNT, __LINE__, kRunningProcess, process.name.c_str(),
              static_cast<unsigned>(process.id));
  }
  if (!list.wellFormed) {
    WriteFixed(kLogInformation, kProcessesNT, __LINE__, L"[ENV] Could Not Obtain Performance Data!");
  }
}
