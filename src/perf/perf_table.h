#pragma once

#include <cstdint>

// One entry of the performance object and counter table: fourteen words whose order and
// meaning are the same on every architecture; the two texts are pointer-sized on 64-bit
// builds.
struct PerfTableEntry {
  std::int32_t kind;            // PerfEntryKind
  std::int32_t identifier;      // the entry's own number; -1 in the end entry
  const wchar_t* name;
  const wchar_t* help;
  std::int32_t detailLevel;     // kPerfDetailNovice; 0 in the end entry
  std::int32_t defaultCounter;  // object: its first counter; counter: -1
  std::int32_t objectParam1;    // object: 40 (its meaning belongs to the publishing side)
  std::int32_t objectParam2;    // object: 30
  std::int32_t counterCount;    // object: filled in at start-up
  std::int32_t nextObject;      // object: index of the next object, -1 for the last
  std::int32_t reserved1;
  std::int32_t reserved2;
  std::int32_t counterFlag;     // 1 for the connection state counter
  std::uint32_t counterType;    // counter: kPerfCounterRawCount
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
// writable data because the publisher fills in each object's counterCount and nextObject at
// start-up.
inline constexpr int kVarrowmereServerTableEntries = 10;
extern PerfTableEntry g_varrowmereServerTable[kVarrowmereServerTableEntries];

// Kept for the publishing side of the server; nothing in this program reads it.
extern wchar_t g_perfInfoName[12];
