#pragma once

#include <cstdint>

// One entry of the performance object and counter table. The words keep their order and
// meaning on every architecture; the two text words are pointer-sized on 64-bit builds.
struct PerfTableEntry {
  std::int32_t kind;            // word 0: PerfEntryKind
  std::int32_t identifier;      // word 1: the entry's own number; -1 in the end entry
  const wchar_t* name;          // word 2
  const wchar_t* help;          // word 3
  std::int32_t detailLevel;     // word 4: PERF_DETAIL_NOVICE (100), 0 in the end entry
  std::int32_t defaultCounter;  // word 5: object: its first counter; counter: -1
  std::int32_t objectParam1;    // word 6: object: 40 (meaning belongs to the publishing side)
  std::int32_t objectParam2;    // word 7: object: 30
  std::int32_t counterCount;    // word 8: object: filled at start-up
  std::int32_t nextObject;      // word 9: object: index of the next object, -1 for the last
  std::int32_t reserved1;       // word 10
  std::int32_t reserved2;       // word 11
  std::int32_t counterFlag;     // word 12: 1 for the connection state counter
  std::uint32_t counterType;    // word 13: counter: PERF_COUNTER_RAWCOUNT
};

#if !defined(_WIN64)
static_assert(sizeof(PerfTableEntry) == 14 * 4, "an entry is fourteen 32-bit words");
#endif

enum PerfEntryKind : std::int32_t {
  kPerfEntryEnd = 0,
  kPerfEntryObject = 1,
  kPerfEntryCounter = 2,
};

inline constexpr std::int32_t kPerfDetailNovice = 100;
inline constexpr std::uint32_t kPerfCounterRawCount = 0x10000;

// The server's service name; the publisher's lock is named after it.
inline constexpr const wchar_t* kServiceName = L"Varrowmere Enterprise Server";

// The server's table: one object with eight counters and the end entry. It lies in
// writable data because the publisher fills in words 8 and 9 at start-up.
inline constexpr int kVarrowmereServerTableEntries = 10;
extern PerfTableEntry g_varrowmereServerTable[kVarrowmereServerTableEntries];

// Kept for the publishing side of the server; nothing in this program reads it.
extern wchar_t g_perfInfoName[12];
