// The logger's registry settings: REG_DWORD values below the owner's settings key. A
// value that is missing, of another type, or (for a threshold) above 15 takes its
// default; nothing about a bad value is logged.

#include "logging/debug_logger.h"
#include "registry/registry.h"

namespace {

constexpr DWORD kHighestThreshold = 15;

// A threshold as stored, or the fallback when it is absent or out of range.
int ReadThreshold(Registry& key, const wchar_t* name, int fallback, bool* present = nullptr) {
  DWORD value = 0;
  const bool valid = key.ReadDword(name, &value) && value <= kHighestThreshold;
  if (present != nullptr) *present = valid;
  return valid ? static_cast<int>(value) : fallback;
}

int ReadNumber(Registry& key, const wchar_t* name, int fallback) {
  DWORD value = 0;
  return key.ReadDword(name, &value) ? static_cast<int>(value) : fallback;
}

bool ReadSwitch(Registry& key, const wchar_t* name, bool fallback) {
  bool value = false;
  return key.ReadBool(name, &value) ? value : fallback;
}

// A switch that changed takes its new value, then opens or closes its output.
template <typename Open, typename Close>
void ApplySwitch(bool* field, bool wanted, Open open, Close close) {
  if (wanted == *field) return;
  *field = wanted;
  if (wanted) {
    open();
  } else {
    close();
  }
}

}  // namespace

void DebugLogger::ReadSettings() {
  if (settingsKeyPath_.empty()) return;
  Registry key(settingsKeyPath_.c_str(), useCurrentUserHive_, true);
  if (!key.Open(false)) return;

  debugLogLevel_.store(ReadThreshold(key, L"DebugLogLevel", defaultDebugLevel_), std::memory_order_relaxed);
  eventLogLevel_.store(ReadThreshold(key, L"EventLogLevel", 2), std::memory_order_relaxed);
  sysLogLevel_.store(ReadThreshold(key, L"SysLogLevel", 2), std::memory_order_relaxed);
  // A console threshold in the registry asks for the console; ConsoleLogEnabled, read
  // next, has the last word either way.
  bool consoleLevelPresent = false;
  consoleLogLevel_.store(ReadThreshold(key, L"ConsoleLogLevel", 3, &consoleLevelPresent),
                         std::memory_order_relaxed);
  consoleLogEnabled_ = consoleLevelPresent;
  UpdateQueueLevel();
  consoleLogEnabled_ = ReadSwitch(key, L"ConsoleLogEnabled", consoleLogEnabled_);

  debugLogMaxDailyFileAge_ = ReadNumber(key, L"DebugLogMaxDailyFileAge", 0);
  debugLogEncoding_ = ReadNumber(key, L"DebugLogEncoding", 0);
  blockingSyslog_ = ReadSwitch(key, L"BlockingSyslog", true);
  addSyslogHeader_ = ReadSwitch(key, L"AddSyslogHeader", true);

  // The output switches open or close their output when they change.
  ApplySwitch(&sysLogEnabled_, ReadSwitch(key, L"SysLogEnabled", !syslogServerList_.empty()),
              [this] { OpenSyslog(); }, [this] { CloseSyslog(); });
  ApplySwitch(&debugLogEnabled_, ReadSwitch(key, L"DebugLogEnabled", !debugFilePath_.empty()),
              [this] { ReopenDebugFile(); }, [this] { CloseDebugFile(); });
  ApplySwitch(&eventLogEnabled_, ReadSwitch(key, L"EventLogEnabled", true), [this] { OpenEventLog(); },
              [this] { CloseEventLog(); });

  eventLogTimeThreshold_ = ReadNumber(key, L"EventLogTimeThreshold", 60);
  key.Close();
}
