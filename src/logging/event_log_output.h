#pragma once

#include <windows.h>

#include <string>

#include "logging/record_view.h"
#include "win32/unique_resource.h"

// The Windows event log output: one event per record under an event source named after
// the application. Used by the logger thread only.
class EventLogOutput {
 public:
  // Registers the event source (and, where the registry allows, its key with the message
  // file: the module named messageModuleName when it is loaded, else this program).
  // Does nothing when already open, on a system that is not NT, or for an empty name.
  void Open(const std::wstring& applicationName, const std::wstring& messageModuleName);
  // Deregisters the event source; the result of DeregisterEventSource, or 0 when closed.
  LONG Close();
  bool IsOpen() const noexcept { return static_cast<bool>(source_); }
  HANDLE Source() const noexcept { return source_.get(); }

  // Reports one event of the record's level, identifier and message; levels the event
  // log never takes are skipped.
  void Write(const RecordView& record);

 private:
  static void RegisterSourceKey(const std::wstring& applicationName, const std::wstring& messageModuleName);

  UniqueEventSource source_;
};
