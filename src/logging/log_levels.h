#pragma once

#include <windows.h>

#include <cstdint>

// Levels: a smaller number is more severe. An output takes a record at or below its
// threshold; kLogAlways passes every threshold.
inline constexpr int kLogError0 = 0;
inline constexpr int kLogError = 1;
inline constexpr int kLogWarning = 2;
inline constexpr int kLogInformation = 3;
inline constexpr int kLogDebug = 4;
inline constexpr int kLogAlways = 5;

// Event identifiers are Windows message identifiers with the customer flag set and
// facility 0xFFF; the code (low 16 bits) of a level's default identifier is level x 10000.
inline constexpr DWORD kEventIdError = 0xEFFF2710;        // levels 0 and 1, code 10000
inline constexpr DWORD kEventIdWarning = 0xAFFF4E20;      // level 2, code 20000
inline constexpr DWORD kEventIdInformation = 0x6FFF7530;  // level 3, code 30000
inline constexpr DWORD kEventIdAlways = 0x6FFFC350;       // level 5, code 50000

// The default identifier of a level; 0 for levels that have none (4 and anything above 5
// or below 0).
constexpr DWORD DefaultEventId(int level) {
  switch (level) {
    case 0:
    case 1: return kEventIdError;
    case 2: return kEventIdWarning;
    case 3: return kEventIdInformation;
    case 5: return kEventIdAlways;
    default: return 0;
  }
}

// Whether a threshold admits a level: at or below it, or the level that passes every
// threshold.
constexpr bool LevelPasses(int level, int threshold) { return level <= threshold || level == kLogAlways; }

// The short event code that log lines print: the identifier's low 16 bits, or
// level x 10000 when the record carries no identifier.
constexpr std::uint32_t ShortEventCode(DWORD eventId, int level) {
  return eventId != 0 ? (eventId & 0xFFFF) : static_cast<std::uint32_t>(level) * 10000u;
}
