#pragma once

#include <cstdint>

// Writes value in decimal at `at`, zero-padded to at least minDigits digits, and answers
// the position after the last digit; no terminator. The hot paths that format by hand
// (a logging call's message, a debug file line as wide text or as its bytes) use it in
// place of the run time's formatter, which costs more than the rest of their work.
template <typename Char>
Char* AppendDecimal(Char* at, std::uint32_t value, int minDigits = 1) {
  if (value < 100 && minDigits == 2) {
    // The fields of a time: two digits, without a loop.
    at[0] = static_cast<Char>('0' + value / 10);
    at[1] = static_cast<Char>('0' + value % 10);
    return at + 2;
  }
  Char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<Char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (; minDigits > count; --minDigits) *at++ = static_cast<Char>('0');
  while (count > 0) *at++ = digits[--count];
  return at;
}
