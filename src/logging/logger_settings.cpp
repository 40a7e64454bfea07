// The logger's registry settings: REG_DWORD values below the owner's settings key. A
// value that is missing, of another type, or (for a threshold) above 15 takes its
// default; nothing about a bad value is logged. What the owner fixed stays as fixed.

#include <algorithm>

#include "logging/debug_logger.h"
#include "registry/registry.h"

namespace {

// A threshold as read, raised to the owner's floor when there is one.
int AtLeast(int level, const std::optional<int>& floor) { return floor ? std::max(level, *floor) : level; }

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

void DebugLogger::SetFixedSettings(const FixedSettings& fixed) {
  fixed_ = fixed;
  debugLogEnabled_ = fixed.debugLogEnabled.value_or(debugLogEnabled_);
  sysLogEnabled_ = fixed.sysLogEnabled.value_or(sysLogEnabled_);
  consoleLogEnabled_ = fixed.consoleLogEnabled.value_or(consoleLogEnabled_);
  eventLogEnabled_ = fixed.eventLogEnabled.value_or(eventLogEnabled_);
  blockingSyslog_ = fixed.blockingSyslog.value_or(blockingSyslog_);
  addSyslogHeader_ = fixed.addSyslogHeader.value_or(addSyslogHeader_);
  ChangeFileSettings([&](DebugFileOutput::Settings& file) {
    file.encoding = fixed.debugLogEncoding.value_or(file.encoding);
    file.maxDailyFileAge = fixed.debugLogMaxDailyFileAge.value_or(file.maxDailyFileAge);
  });
  SetDebugLogLevel(AtLeast(DebugLogLevel(), fixed.debugLogLevelAtLeast));
  SetEventLogLevel(AtLeast(EventLogLevel(), fixed.eventLogLevelAtLeast));
  SetSysLogLevel(AtLeast(SysLogLevel(), fixed.sysLogLevelAtLeast));
  SetConsoleLogLevel(AtLeast(ConsoleLogLevel(), fixed.consoleLogLevelAtLeast));
}

void DebugLogger::ReadSettings() {
  if (settingsKeyPath_.empty()) return;
  Registry key(settingsKeyPath_.c_str(), useCurrentUserHive_, true);
  if (!key.Open(false)) return;

  // A console threshold in the registry asks for the console; ConsoleLogEnabled, read
  // next, has the last word either way.
  bool consoleLevelPresent = false;
  const int debugLevel =
      AtLeast(ReadThreshold(key, L"DebugLogLevel", defaultDebugLevel_), fixed_.debugLogLevelAtLeast);
  const int eventLevel =
      AtLeast(ReadThreshold(key, L"EventLogLevel", LogThresholds::kDefaultEventLog), fixed_.eventLogLevelAtLeast);
  const int sysLevel =
      AtLeast(ReadThreshold(key, L"SysLogLevel", LogThresholds::kDefaultSyslog), fixed_.sysLogLevelAtLeast);
  const int consoleLevel =
      AtLeast(ReadThreshold(key, L"ConsoleLogLevel", LogThresholds::kDefaultConsole, &consoleLevelPresent),
              fixed_.consoleLogLevelAtLeast);
  thresholds_.SetAsRead(debugLevel, eventLevel, sysLevel, consoleLevel);
  consoleLogEnabled_ = consoleLevelPresent;
  consoleLogEnabled_ = fixed_.consoleLogEnabled.value_or(ReadSwitch(key, L"ConsoleLogEnabled", consoleLogEnabled_));

  ChangeFileSettings([&](DebugFileOutput::Settings& file) {
    const DebugFileOutput::Settings defaults;
    file.maxDailyFileAge =
        fixed_.debugLogMaxDailyFileAge.value_or(ReadNumber(key, L"DebugLogMaxDailyFileAge", defaults.maxDailyFileAge));
    file.encoding = fixed_.debugLogEncoding.value_or(ReadNumber(key, L"DebugLogEncoding", defaults.encoding));
  });
  blockingSyslog_ = fixed_.blockingSyslog.value_or(ReadSwitch(key, L"BlockingSyslog", kDefaultBlockingSyslog));
  addSyslogHeader_ = fixed_.addSyslogHeader.value_or(ReadSwitch(key, L"AddSyslogHeader", kDefaultAddSyslogHeader));

  // The output switches open or close their output when they change.
  ApplySwitch(&sysLogEnabled_,
              fixed_.sysLogEnabled.value_or(ReadSwitch(key, L"SysLogEnabled", !syslogServerList_.empty())),
              [this] { OpenSyslog(); }, [this] { CloseSyslog(); });
  ApplySwitch(&debugLogEnabled_,
              fixed_.debugLogEnabled.value_or(ReadSwitch(key, L"DebugLogEnabled", !DebugFilePath().empty())),
              [this] { ReopenDebugFile(); }, [this] { CloseDebugFile(); });
  ApplySwitch(&eventLogEnabled_,
              fixed_.eventLogEnabled.value_or(ReadSwitch(key, L"EventLogEnabled", kDefaultEventLogEnabled)),
              [this] { OpenEventLog(); }, [this] { CloseEventLog(); });

  eventLogTimeThreshold_ = ReadNumber(key, L"EventLogTimeThreshold", kDefaultEventLogTimeThreshold);
  key.Close();
}
