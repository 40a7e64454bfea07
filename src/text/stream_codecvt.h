#pragma once

#include <cstddef>
#include <cwchar>
#include <locale>

// Code-conversion facets for wide file streams (std::wofstream and friends): what a
// stream of UTF-16 units puts on the disk is decided by the facet imbued into it.
//
//   std::wofstream file;
//   file.imbue(std::locale(std::locale::classic(), new UTF8StreamCodeCvtFacet));
//   file.open(path, std::ios::out | std::ios::app | std::ios::binary);
//
// Open such streams in binary mode: in text mode the C run time turns every 0x0A byte the
// facet writes into 0x0D 0x0A, which breaks UTF-16 (L"\n" becomes 0D 0A 00).
// The locale owns the facet (reference count 0) and destroys it with its last copy.
// libstdc++'s basic_filebuf drives them: it sizes its byte buffers from max_length() and
// encoding(), and asks length() for the byte position of a wide character when it reports
// or changes the position of a stream it is reading.

using WideCodeCvt = std::codecvt<wchar_t, char, std::mbstate_t>;

// UTF-16 on the disk: two bytes per unit, whatever the unit.
class UTF16StreamCodeCvtFacetBase : public WideCodeCvt {
 public:
  explicit UTF16StreamCodeCvtFacetBase(std::size_t refs = 0) : WideCodeCvt(refs) {}

 protected:
  ~UTF16StreamCodeCvtFacetBase() override = default;

  bool do_always_noconv() const noexcept override;
  int do_max_length() const noexcept override;
  int do_encoding() const noexcept override;
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
               const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
               intern_type*& toNext) const override = 0;
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                extern_type*& toNext) const override = 0;
  // UTF-16 has no shift states: writes nothing, ok.
  result do_unshift(state_type& state, extern_type* to, extern_type* toEnd,
                    extern_type*& toNext) const override;
  // The bytes of at most `max` whole units: twice the smaller of `max` and the number of
  // byte pairs.
  int do_length(state_type& state, const extern_type* from, const extern_type* end,
                std::size_t max) const override;
};

// UTF-16, little-endian.
class UTF16LEStreamCodeCvtFacet : public UTF16StreamCodeCvtFacetBase {
 public:
  explicit UTF16LEStreamCodeCvtFacet(std::size_t refs = 0) : UTF16StreamCodeCvtFacetBase(refs) {}

 protected:
  ~UTF16LEStreamCodeCvtFacet() override = default;

  // Whole byte pairs, low byte first. An odd byte at the end is left for the next call;
  // ok as soon as one unit was converted, partial when only the odd byte is there.
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
               const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
               intern_type*& toNext) const override;
  // As many units as the target has byte pairs for; ok even when units are left over
  // (the caller sees them through fromNext).
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                extern_type*& toNext) const override;
};

// UTF-8 on the disk, written and read in lenient mode: a lone surrogate unit is written
// as its own three-byte sequence and read back as that unit, so any sequence of units
// written comes back unchanged. A surrogate pair that the stream buffer's boundary cuts
// in two is still written as one four-byte sequence: a high surrogate that ends a call's
// input is held in the conversion state and written with the next call, or by
// unshift() when the stream is closed, flushed by a seek or told its position.
class UTF8StreamCodeCvtFacet : public WideCodeCvt {
 public:
  explicit UTF8StreamCodeCvtFacet(std::size_t refs = 0) : WideCodeCvt(refs) {}

 protected:
  ~UTF8StreamCodeCvtFacet() override = default;

  bool do_always_noconv() const noexcept override;
  int do_max_length() const noexcept override;
  int do_encoding() const noexcept override;
  // ok when the source is used up; partial when it ends inside a sequence or the target
  // is full; error at an illegal sequence. fromNext and toNext always say how far it got.
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
               const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
               intern_type*& toNext) const override;
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                extern_type*& toNext) const override;
  // Writes a high surrogate held back by out(), if any.
  result do_unshift(state_type& state, extern_type* to, extern_type* toEnd,
                    extern_type*& toNext) const override;
  // The bytes of the longest run of whole sequences from `from` that reads as at most
  // `max` units.
  int do_length(state_type& state, const extern_type* from, const extern_type* end,
                std::size_t max) const override;
};
