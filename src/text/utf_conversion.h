#pragma once

// Conversions between UTF-16 (wchar_t, 16 bits on Windows) and UTF-8 over caller ranges.
// Both advance `source` and `target` past what they converted, so a caller can convert a
// stream piece by piece: on UTF_SOURCE_EXHAUSTED or UTF_TARGET_EXHAUSTED the positions
// stand at the first unit or byte not converted, ready for the next call.
// They read and write the caller's ranges, so they are not noexcept: on a guarded thread
// a bad range reaches the caller's handler as StructuredException.

static_assert(sizeof(wchar_t) == 2, "wide text is UTF-16");

enum UtfConversionFlags : int {
  // Surrogates that do not form a pair are refused in either direction.
  UTF_STRICT = 0,
  // Lone surrogates pass through as their own three-byte sequence (and such sequences
  // read back as the lone unit), so any sequence of 16-bit units survives a round trip.
  UTF_LENIENT = 1,
};

enum UtfConversionResult : int {
  UTF_OK = 0,
  // The source ends inside a character; the source position stands at its start.
  UTF_SOURCE_EXHAUSTED = 1,
  // The next character does not fit in the target; both positions stand before it.
  UTF_TARGET_EXHAUSTED = 2,
  // The source holds a sequence that is not allowed; the source position stands at it.
  UTF_SOURCE_ILLEGAL = 3,
};

UtfConversionResult Utf16ToUtf8(const wchar_t*& source, const wchar_t* sourceEnd, char*& target,
                                char* targetEnd, UtfConversionFlags flags);

UtfConversionResult Utf8ToUtf16(const char*& source, const char* sourceEnd, wchar_t*& target,
                                wchar_t* targetEnd, UtfConversionFlags flags);

inline constexpr bool IsHighSurrogate(unsigned value) noexcept {
  return value >= 0xD800 && value <= 0xDBFF;
}
inline constexpr bool IsLowSurrogate(unsigned value) noexcept {
  return value >= 0xDC00 && value <= 0xDFFF;
}
