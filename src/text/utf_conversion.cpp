#include "text/utf_conversion.h"

#include <cstdint>

namespace {

// Trailing bytes that follow each lead byte. 0xF8 to 0xFF announce the five- and
// six-byte forms of the original UTF-8, which are never legal but still say how long the
// sequence claims to be.
constexpr std::uint8_t TrailingBytes(unsigned lead) {
  return lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : 5;
}

// Decoding adds the bytes with their marks still in place; subtracting this removes the
// marks of the lead byte and of every continuation byte at once.
constexpr std::uint32_t kDecodeOffsets[6] = {0x00000000, 0x00003080, 0x000E2080,
                                             0x03C82080, 0xFA082080, 0x82082080};

// The lead byte's mark by sequence length.
constexpr std::uint8_t kLeadByteMarks[7] = {0x00, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

constexpr std::uint32_t kHalfShift = 10;
constexpr std::uint32_t kHalfBase = 0x10000;
constexpr std::uint32_t kHalfMask = 0x3FF;

// Whether the `length` bytes at `sequence` form a legal UTF-8 sequence: shortest form only,
// nothing above U+10FFFF. Surrogate values (ED A0 80 to ED BF BF) pass here; whether they
// are allowed is the caller's choice.
bool IsLegalUtf8(const unsigned char* sequence, int length) {
  if (length < 1 || length > 4) return false;
  for (int i = 2; i < length; ++i) {
    if (sequence[i] < 0x80 || sequence[i] > 0xBF) return false;
  }
  const unsigned lead = sequence[0];
  if (length >= 2) {
    const unsigned second = sequence[1];
    if (second > 0xBF) return false;
    switch (lead) {
      case 0xE0: if (second < 0xA0) return false; break;  // overlong three-byte form
      case 0xF0: if (second < 0x90) return false; break;  // overlong four-byte form
      case 0xF4: if (second > 0x8F) return false; break;  // above U+10FFFF
      default: if (second < 0x80) return false; break;
    }
  }
  if (lead >= 0x80 && lead < 0xC2) return false;  // continuation byte or overlong two-byte form
  return lead <= 0xF4;
}

int Utf8Length(std::uint32_t value) {
  return value < 0x80 ? 1 : value < 0x800 ? 2 : value < 0x10000 ? 3 : 4;
}

}  // namespace

UtfConversionResult Utf16ToUtf8(const wchar_t*& source, const wchar_t* sourceEnd, char*& target,
                                char* targetEnd, UtfConversionFlags flags) {
  const bool strict = flags == UTF_STRICT;
  while (source < sourceEnd) {
    const wchar_t* const characterStart = source;
    std::uint32_t value = static_cast<std::uint16_t>(*source++);
    if (IsHighSurrogate(value)) {
      if (source < sourceEnd) {
        const std::uint32_t next = static_cast<std::uint16_t>(*source);
        if (IsLowSurrogate(next)) {
          value = ((value - 0xD800) << kHalfShift) + (next - 0xDC00) + kHalfBase;
          ++source;
        } else if (strict) {
          source = characterStart;
          return UTF_SOURCE_ILLEGAL;
        }
      } else if (strict) {
        // Its low half may be in the caller's next piece; strict output never holds a
        // surrogate on its own, so the unit waits instead of being written alone.
        source = characterStart;
        return UTF_SOURCE_EXHAUSTED;
      }
    } else if (strict && IsLowSurrogate(value)) {
      source = characterStart;
      return UTF_SOURCE_ILLEGAL;
    }

    const int length = Utf8Length(value);
    if (targetEnd - target < length) {
      source = characterStart;
      return UTF_TARGET_EXHAUSTED;
    }
    target += length;
    char* write = target;
    for (int i = length; i > 1; --i) {
      *--write = static_cast<char>(0x80 | (value & 0x3F));
      value >>= 6;
    }
    *--write = static_cast<char>(kLeadByteMarks[length] | value);
  }
  return UTF_OK;
}

UtfConversionResult Utf8ToUtf16(const char*& source, const char* sourceEnd, wchar_t*& target,
                                wchar_t* targetEnd, UtfConversionFlags flags) {
  const bool strict = flags == UTF_STRICT;
  while (source < sourceEnd) {
    const unsigned char* const sequence = reinterpret_cast<const unsigned char*>(source);
    const int trailing = TrailingBytes(sequence[0]);
    if (trailing >= sourceEnd - source) return UTF_SOURCE_EXHAUSTED;
    if (!IsLegalUtf8(sequence, trailing + 1)) return UTF_SOURCE_ILLEGAL;

    std::uint32_t value = 0;
    for (int i = 0; i <= trailing; ++i) {
      value += sequence[i];
      if (i < trailing) value <<= 6;
    }
    value -= kDecodeOffsets[trailing];

    if (target >= targetEnd) return UTF_TARGET_EXHAUSTED;
    if (value <= 0xFFFF) {
      if (strict && (IsHighSurrogate(value) || IsLowSurrogate(value))) return UTF_SOURCE_ILLEGAL;
      *target++ = static_cast<wchar_t>(value);
    } else {
      // IsLegalUtf8 admits nothing above U+10FFFF, so two units always hold the value.
      if (targetEnd - target < 2) return UTF_TARGET_EXHAUSTED;
      value -= kHalfBase;
      *target++ = static_cast<wchar_t>(0xD800 + (value >> kHalfShift));
      *target++ = static_cast<wchar_t>(0xDC00 + (value & kHalfMask));
    }
    source += trailing + 1;
  }
  return UTF_OK;
}
