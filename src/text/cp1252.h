#pragma once

// Windows-1252 conversions by a built-in table, without calling the system: the Western
// code page converts the same way whatever code pages the machine has installed. They work
// on the caller's ranges and are not noexcept, so that on a guarded thread a bad range
// reaches the caller's handler as StructuredException.

// Results of the table conversions. CP1252_OK and CP1252_OK_WITH_REPLACEMENTS both mean
// the whole source was converted.
enum Cp1252Result : int {
  CP1252_OK = 0,
  CP1252_TARGET_FULL = 2,
  CP1252_OK_WITH_REPLACEMENTS = 5,
};

// What WideToCp1252 writes for a character that Windows-1252 cannot hold.
inline constexpr char kCp1252DefaultByte = '?';

// The characters of the bytes 0x80 to 0x9F, in byte order. U+FFFD stands for the five
// bytes Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D).
extern const wchar_t kCp1252UpperTable[32];

// Converts byte by byte until the source range ends or the target is full, advancing
// `source` and `target` past what was converted. Bytes 0x80 to 0x9F take their table
// character; every other byte becomes the character of the same value.
Cp1252Result Cp1252ToWide(const char*& source, const char* sourceEnd, wchar_t*& target,
                          wchar_t* targetEnd);

// Converts character by character, advancing both positions. U+0000 to U+00FF give the
// byte of the same value; other characters are looked up in the table (the first entry
// that matches, so U+FFFD gives 0x81); the rest give `defaultByte` and make the result
// CP1252_OK_WITH_REPLACEMENTS.
Cp1252Result WideToCp1252(const wchar_t*& source, const wchar_t* sourceEnd, char*& target,
                          char* targetEnd, char defaultByte);
