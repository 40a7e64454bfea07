#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The system's performance data, as the registry hands it out below
// HKEY_PERFORMANCE_DATA: a data block header, then object types, each with its counter
// definitions and either one counter block or a list of instances with theirs. The walks
// here read a block that someone else produced and trust none of its lengths or offsets:
// every read is checked against the size the query returned, and a block that points
// outside itself is reported as malformed, never followed.

// Asks for the performance data of the given items (object title indexes in decimal,
// separated by blanks) into the buffer, with its size in bytes in and the size of the
// data out, as RegQueryValueExW on HKEY_PERFORMANCE_DATA answers: ERROR_SUCCESS,
// ERROR_MORE_DATA when the buffer is too small, or another error.
using PerformanceDataQuery = LONG (*)(const wchar_t* items, BYTE* buffer, DWORD* bytes);

// The registry's own answer.
LONG QuerySystemPerformanceData(const wchar_t* items, BYTE* buffer, DWORD* bytes);

// Closes HKEY_PERFORMANCE_DATA when it goes, which releases what the system gathered for
// the queries; every path that queried it passes here.
class PerformanceDataSession {
 public:
  PerformanceDataSession() = default;
  ~PerformanceDataSession() { ::RegCloseKey(HKEY_PERFORMANCE_DATA); }
  PerformanceDataSession(const PerformanceDataSession&) = delete;
  PerformanceDataSession& operator=(const PerformanceDataSession&) = delete;
};

// The title index of the System object, and of its up-time counter.
inline constexpr const wchar_t* kSystemObjectItem = L"2";
inline constexpr DWORD kSystemUpTimeCounter = 674;

struct SystemUpTimeReading {
  enum class Status {
    kRead,        // seconds holds the up time, or -1 when the counter is missing or its
                  // value lies after the object's performance time
    kHeaderOnly,  // the block's total length does not exceed its header length
    kMalformed,   // a length or offset points outside the data, or the frequency is not
                  // positive
  };
  Status status = Status::kMalformed;
  std::int64_t seconds = -1;
  DWORD headerLength = 0;
  DWORD totalLength = 0;
};

// The up time of the System object: (performance time - counter value) / frequency,
// whole seconds, from the first object of the block.
SystemUpTimeReading ReadSystemUpTime(const BYTE* data, std::size_t size);

struct PerformanceProcess {
  std::wstring name;
  std::uint32_t id = 0;
};

struct PerformanceProcessList {
  // The instances of the first object, in block order, at most the limit asked for;
  // when the block turns malformed part-way, the instances before that point.
  std::vector<PerformanceProcess> processes;
  // False for a block without the PERF signature, whose first object is missing though
  // it counts objects, or that points outside itself anywhere the walk went. A block
  // that counts no objects is well formed and lists nothing.
  bool wellFormed = false;
};

// The instances of the first object of a block, each with its name and the 32-bit
// value of the counter whose title index is idCounterIndex (the first word of the
// instance's counter block when no counter has that index). An object without instances
// lists none.
PerformanceProcessList ReadPerformanceProcesses(const BYTE* data, std::size_t size, DWORD idCounterIndex,
                                                std::size_t maxInstances);

// What the English counter names ("Counters" below perflib\009: index and name texts in
// turn, ending with an empty text) say about processes.
struct ProcessCounterIndexes {
  bool processFound = false;
  std::wstring processItem;    // the Process object's index text, when found
  DWORD idProcessIndex = 0;    // the "ID Process" counter's index, 0 when not found
};
ProcessCounterIndexes FindProcessCounterIndexes(const wchar_t* names, std::size_t chars);
