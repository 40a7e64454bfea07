#pragma once

#include <cstdint>

// Writes value in decimal at `at`, zero-padded to at least minDigits digits, and answers
// the position after the last digit; no terminator. The hot paths that format by hand
// (a logging call's message, a debug file line) use it in place of the run time's
// formatter, which costs more than the rest of their work.
inline wchar_t* AppendDecimal(wchar_t* at, std::uint32_t value, int minDigits = 1) {
  wchar_t digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (; minDigits > count; --minDigits) *at++ = L'0';
  while (count > 0) *at++ = digits[--count];
  return at;
}
