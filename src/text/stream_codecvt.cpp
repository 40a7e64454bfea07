#include "text/stream_codecvt.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "text/utf_conversion.h"

// ---- UTF-16 ----------------------------------------------------------------------------

bool UTF16StreamCodeCvtFacetBase::do_always_noconv() const noexcept { return false; }
int UTF16StreamCodeCvtFacetBase::do_max_length() const noexcept { return 2; }
int UTF16StreamCodeCvtFacetBase::do_encoding() const noexcept { return 2; }

UTF16StreamCodeCvtFacetBase::result UTF16StreamCodeCvtFacetBase::do_unshift(
    state_type&, extern_type* to, extern_type*, extern_type*& toNext) const {
  toNext = to;
  return ok;
}

// basic_filebuf adds this to a byte position, so it is a count of bytes, not of units.
int UTF16StreamCodeCvtFacetBase::do_length(state_type&, const extern_type* from,
                                           const extern_type* end, std::size_t max) const {
  const std::size_t pairs = static_cast<std::size_t>(end - from) / 2;
  return static_cast<int>(2 * std::min(max, pairs));
}

UTF16LEStreamCodeCvtFacet::result UTF16LEStreamCodeCvtFacet::do_in(
    state_type&, const extern_type* from, const extern_type* fromEnd,
    const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
    intern_type*& toNext) const {
  const std::size_t pairs = static_cast<std::size_t>(fromEnd - from) / 2;
  const std::size_t count = std::min(static_cast<std::size_t>(toEnd - to), pairs);
  fromNext = from;
  toNext = to;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned low = static_cast<unsigned char>(fromNext[0]);
    const unsigned high = static_cast<unsigned char>(fromNext[1]);
    *toNext++ = static_cast<intern_type>(low | (high << 8));
    fromNext += 2;
  }
  if (count > 0) return ok;
  return fromEnd - from == 1 ? partial : ok;
}

UTF16LEStreamCodeCvtFacet::result UTF16LEStreamCodeCvtFacet::do_out(
    state_type&, const intern_type* from, const intern_type* fromEnd,
    const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
    extern_type*& toNext) const {
  const std::size_t room = static_cast<std::size_t>(toEnd - to) / 2;
  const std::size_t count = std::min(static_cast<std::size_t>(fromEnd - from), room);
  fromNext = from;
  toNext = to;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned unit = static_cast<std::uint16_t>(*fromNext++);
    *toNext++ = static_cast<extern_type>(unit & 0xFF);
    *toNext++ = static_cast<extern_type>(unit >> 8);
  }
  return ok;
}

// ---- UTF-8 -----------------------------------------------------------------------------

namespace {

// The conversion state holds at most one high surrogate that out() has taken but not
// yet written. 0 means none; a surrogate is never 0.
static_assert(sizeof(std::mbstate_t) >= sizeof(std::uint16_t));

wchar_t HeldHighSurrogate(const std::mbstate_t& state) {
  std::uint16_t held;
  std::memcpy(&held, &state, sizeof(held));
  return static_cast<wchar_t>(held);
}

void HoldHighSurrogate(std::mbstate_t& state, wchar_t unit) {
  const std::uint16_t held = static_cast<std::uint16_t>(unit);
  std::memcpy(&state, &held, sizeof(held));
}

WideCodeCvt::result FacetResult(UtfConversionResult result) {
  switch (result) {
    case UTF_OK: return WideCodeCvt::ok;
    case UTF_SOURCE_EXHAUSTED:
    case UTF_TARGET_EXHAUSTED: return WideCodeCvt::partial;
    case UTF_SOURCE_ILLEGAL: break;
  }
  return WideCodeCvt::error;
}

}  // namespace

bool UTF8StreamCodeCvtFacet::do_always_noconv() const noexcept { return false; }
int UTF8StreamCodeCvtFacet::do_max_length() const noexcept { return 4; }
int UTF8StreamCodeCvtFacet::do_encoding() const noexcept { return 0; }

UTF8StreamCodeCvtFacet::result UTF8StreamCodeCvtFacet::do_in(
    state_type&, const extern_type* from, const extern_type* fromEnd,
    const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
    intern_type*& toNext) const {
  fromNext = from;
  toNext = to;
  return FacetResult(Utf8ToUtf16(fromNext, fromEnd, toNext, toEnd, UTF_LENIENT));
}

UTF8StreamCodeCvtFacet::result UTF8StreamCodeCvtFacet::do_out(
    state_type& state, const intern_type* from, const intern_type* fromEnd,
    const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
    extern_type*& toNext) const {
  fromNext = from;
  toNext = to;

  const wchar_t held = HeldHighSurrogate(state);
  if (held != 0) {
    if (fromNext == fromEnd) return ok;
    const wchar_t pair[2] = {held, *fromNext};
    const bool completesPair = IsLowSurrogate(static_cast<std::uint16_t>(pair[1]));
    const wchar_t* pairNext = pair;
    if (Utf16ToUtf8(pairNext, pair + (completesPair ? 2 : 1), toNext, toEnd, UTF_LENIENT) !=
        UTF_OK) {
      return partial;
    }
    if (completesPair) ++fromNext;
    HoldHighSurrogate(state, 0);
  }

  // Hold back a high surrogate that ends the input when other units came before it in
  // this call: its low half is the first unit of the next call. basic_filebuf drops the
  // units a conversion leaves over, so the unit is taken into the state rather than left
  // unconverted. A call of one unit (an unbuffered stream) writes it at once: there the
  // byte room is four per unit and a held unit that turns out to be lone could not be
  // written together with the unit after it.
  const intern_type* convertEnd = fromEnd;
  if (fromEnd - from >= 2 && fromEnd > fromNext &&
      IsHighSurrogate(static_cast<std::uint16_t>(fromEnd[-1]))) {
    --convertEnd;
  }
  const UtfConversionResult converted =
      Utf16ToUtf8(fromNext, convertEnd, toNext, toEnd, UTF_LENIENT);
  if (converted != UTF_OK) return FacetResult(converted);
  if (convertEnd != fromEnd) {
    HoldHighSurrogate(state, *convertEnd);
    fromNext = fromEnd;
  }
  return ok;
}

UTF8StreamCodeCvtFacet::result UTF8StreamCodeCvtFacet::do_unshift(state_type& state,
                                                                  extern_type* to,
                                                                  extern_type* toEnd,
                                                                  extern_type*& toNext) const {
  toNext = to;
  const wchar_t held = HeldHighSurrogate(state);
  if (held == 0) return ok;
  const wchar_t* heldNext = &held;
  if (Utf16ToUtf8(heldNext, &held + 1, toNext, toEnd, UTF_LENIENT) != UTF_OK) return partial;
  HoldHighSurrogate(state, 0);
  return ok;
}

int UTF8StreamCodeCvtFacet::do_length(state_type&, const extern_type* from,
                                      const extern_type* end, std::size_t max) const {
  // Converts into a scratch pair of units at a time, so no buffer of `max` units is needed
  // and a four-byte sequence is counted only when both of its units fit.
  const extern_type* next = from;
  std::size_t produced = 0;
  while (produced < max && next < end) {
    wchar_t scratch[2];
    wchar_t* scratchNext = scratch;
    const std::size_t room = std::min<std::size_t>(2, max - produced);
    Utf8ToUtf16(next, end, scratchNext, scratch + room, UTF_LENIENT);
    if (scratchNext == scratch) break;
    produced += static_cast<std::size_t>(scratchNext - scratch);
  }
  return static_cast<int>(next - from);
}
