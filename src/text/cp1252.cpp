#include "text/cp1252.h"

const wchar_t kCp1252UpperTable[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,
};

Cp1252Result Cp1252ToWide(const char*& source, const char* sourceEnd, wchar_t*& target,
                          wchar_t* targetEnd) {
  for (; source < sourceEnd; ++source, ++target) {
    if (target >= targetEnd) return CP1252_TARGET_FULL;
    const unsigned char byte = static_cast<unsigned char>(*source);
    *target = (byte >= 0x80 && byte <= 0x9F) ? kCp1252UpperTable[byte - 0x80]
                                             : static_cast<wchar_t>(byte);
  }
  return CP1252_OK;
}

Cp1252Result WideToCp1252(const wchar_t*& source, const wchar_t* sourceEnd, char*& target,
                          char* targetEnd, char defaultByte) {
  Cp1252Result result = CP1252_OK;
  for (; source < sourceEnd; ++source, ++target) {
    if (target >= targetEnd) return CP1252_TARGET_FULL;
    const wchar_t character = *source;
    if (character <= 0xFF) {
      *target = static_cast<char>(character);
      continue;
    }
    int position = 0;
    while (position < 32 && kCp1252UpperTable[position] != character) ++position;
    if (position < 32) {
      *target = static_cast<char>(0x80 + position);
    } else {
      *target = defaultByte;
      result = CP1252_OK_WITH_REPLACEMENTS;
    }
  }
  return result;
}
