#include "logging/event_log_output.h"

#include "logging/log_levels.h"
#include "registry/registry.h"

namespace {

constexpr const wchar_t* kEventSourceKeyPrefix = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr std::size_t kMaxKeyPathChars = 259;
constexpr DWORD kErrorWarningInformation = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// The event type of a level, or 0 for levels the event log never takes.
WORD EventType(int level) {
  switch (level) {
    case 0:
    case 1: return EVENTLOG_ERROR_TYPE;
    case 2: return EVENTLOG_WARNING_TYPE;
    case 3:
    case 5: return EVENTLOG_INFORMATION_TYPE;
    default: return 0;
  }
}

}  // namespace

void EventLogOutput::RegisterSourceKey(const std::wstring& applicationName,
                                       const std::wstring& messageModuleName) {
  const std::wstring keyPath = (kEventSourceKeyPrefix + applicationName).substr(0, kMaxKeyPathChars);
  Registry key(HKEY_LOCAL_MACHINE, "", false);
  if (!key.Create(keyPath.c_str())) return;

  const HMODULE module = messageModuleName.empty() ? nullptr : ::GetModuleHandleW(messageModuleName.c_str());
  wchar_t path[MAX_PATH] = {};
  if (::GetModuleFileNameW(module, path, MAX_PATH - 1) != 0) {
    key.WriteDword(L"TypesSupported", kErrorWarningInformation);
    key.WriteString(L"EventMessageFile", path);
  }
  key.Close();
}

void EventLogOutput::Open(const std::wstring& applicationName, const std::wstring& messageModuleName) {
  if (source_ || applicationName.empty()) return;
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!::GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return;
  // The registry entries are a courtesy to the event viewer: without them (no
  // administrative rights) events are still reported.
  RegisterSourceKey(applicationName, messageModuleName);
  source_.reset(::RegisterEventSourceW(nullptr, applicationName.c_str()));
}

LONG EventLogOutput::Close() {
  if (!source_) return 0;
  return ::DeregisterEventSource(source_.release());
}

void EventLogOutput::Write(const RecordView& record) {
  if (!source_) return;
  const WORD type = EventType(record.level);
  if (type == 0) return;
  const wchar_t* strings[] = {record.message != nullptr ? record.message : L""};
  const DWORD eventId = record.eventId != 0 ? record.eventId : DefaultEventId(record.level);
  ::ReportEventW(source_.get(), type, 0, eventId, nullptr, 1, 0, strings, nullptr);
}
