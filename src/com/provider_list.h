#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "logging/report_sink.h"

// The names of the data sources and providers the platform's OLE DB root enumerator
// knows, in the order its sources rowset delivers them, duplicates included.
//
// The enumeration runs in the calling thread's COM apartment as it finds it: it answers
// names only on a thread that has initialised COM itself; on a thread without COM it
// writes "CoInitialize has not been called." and answers an empty list. The thread's COM
// state is the same after the call as before. Never throws: each failure is written to
// the sink at level 4 and yields the names collected so far. Any thread may call it.
std::vector<std::wstring> provider_list(ReportLineSink sink);

// The identifiers the enumeration uses, as the platform registers them.
inline constexpr GUID kOleDbRootEnumeratorClass = {
    0xC8B522D0, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID kSourcesRowsetInterface = {
    0x0C733A1E, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID kRowsetInterface = {
    0x0C733A7C, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID kAccessorInterface = {
    0x0C733A8C, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
