// The message table every program carries: an event viewer shows an event of ours by
// looking up its identifier in the file the event source names, so each default
// identifier must print the record's text there.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "logging/log_levels.h"
#include "support/child_process.h"
#include "win32/unique_resource.h"

namespace {

// The text FormatMessage builds from a module's table, as an event viewer does, with the
// record's message as the one insertion string.
std::wstring EventText(HMODULE module, DWORD eventId, const wchar_t* message) {
  wchar_t text[256] = {};
  const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(message)};
  const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                                        eventId, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), text, 256,
                                        reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
  return length != 0 ? std::wstring(text, length) : L"<no text: " + std::to_wstring(::GetLastError()) + L">";
}

TEST(EventMessageTable, EachDefaultIdentifierPrintsTheRecordText) {
  // This test program (the file its event source names as message file) and the logger
  // host, read as a data file the way the event log service reads it.
  wchar_t self[MAX_PATH] = {};
  ASSERT_NE(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  for (const std::wstring& program : {std::wstring(self), ProgramBesideMe(L"varrowmere-logger.exe")}) {
    SCOPED_TRACE(std::string(program.begin(), program.end()));
    UniqueModule module(::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module);
    for (const DWORD eventId : {kEventIdError, kEventIdWarning, kEventIdInformation, kEventIdAlways}) {
      SCOPED_TRACE(eventId);
      EXPECT_EQ(EventText(module.get(), eventId, L"disk C: is full"), L"disk C: is full\r\n");
    }
    EXPECT_EQ(EventText(module.get(), 0x6FFF7531, L"x").substr(0, 9), L"<no text:") << "only our four";
  }
}

}  // namespace
