#include "text/stream_codecvt.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "text/utf_conversion.h"
#include "text/system_utf8.h"

namespace {

enum class Encoding { Utf16LE, Utf8 };

std::locale LocaleWith(Encoding encoding) {
  if (encoding == Encoding::Utf8) return std::locale(std::locale::classic(), new UTF8StreamCodeCvtFacet);
  return std::locale(std::locale::classic(), new UTF16LEStreamCodeCvtFacet);
}

const char* Name(Encoding encoding) { return encoding == Encoding::Utf8 ? "UTF-8" : "UTF-16LE"; }

std::string LittleEndianBytes(const std::wstring& units) {
  std::string bytes;
  for (const wchar_t unit : units) {
    bytes += static_cast<char>(static_cast<std::uint16_t>(unit) & 0xFF);
    bytes += static_cast<char>(static_cast<std::uint16_t>(unit) >> 8);
  }
  return bytes;
}

std::string LenientUtf8(const std::wstring& units) {
  std::string bytes(4 * units.size(), '\0');
  const wchar_t* source = units.data();
  char* target = bytes.data();
  EXPECT_EQ(Utf16ToUtf8(source, units.data() + units.size(), target, bytes.data() + bytes.size(),
                        UTF_LENIENT),
            UTF_OK);
  bytes.resize(static_cast<std::size_t>(target - bytes.data()));
  return bytes;
}

TEST(StreamCodeCvt, DescribeTheirEncodingToTheStreamBuffer) {
  struct Case {
    Encoding encoding;
    int bytesPerUnit;
    int maxLength;
  };
  for (const Case& c : {Case{Encoding::Utf16LE, 2, 2}, Case{Encoding::Utf8, 0, 4}}) {
    SCOPED_TRACE(Name(c.encoding));
    const std::locale locale = LocaleWith(c.encoding);
    const WideCodeCvt& facet = std::use_facet<WideCodeCvt>(locale);
    EXPECT_EQ(facet.encoding(), c.bytesPerUnit);
    EXPECT_EQ(facet.max_length(), c.maxLength);
    EXPECT_FALSE(facet.always_noconv());
  }
}

TEST(StreamCodeCvt, In) {
  struct Case {
    Encoding encoding;
    std::string bytes;
    std::size_t room;
    std::codecvt_base::result result;
    std::wstring units;
    std::size_t bytesConsumed;
  };
  const Case cases[] = {
      {Encoding::Utf16LE, "\xAC\x20", 8, std::codecvt_base::ok, L"\u20AC", 2},
      {Encoding::Utf16LE, std::string("A\0B", 3), 8, std::codecvt_base::ok, L"A", 2},
      {Encoding::Utf16LE, "A", 8, std::codecvt_base::partial, L"", 0},
      {Encoding::Utf16LE, "", 8, std::codecvt_base::ok, L"", 0},
      {Encoding::Utf16LE, std::string("A\0B\0", 4), 1, std::codecvt_base::ok, L"A", 2},
      {Encoding::Utf8, "\xE2\x82\xAC", 8, std::codecvt_base::ok, L"\u20AC", 3},
      {Encoding::Utf8, "\xE2\x82", 8, std::codecvt_base::partial, L"", 0},
      {Encoding::Utf8, "a\xE2\x82", 8, std::codecvt_base::partial, L"a", 1},
      {Encoding::Utf8, "\xC0\x80", 8, std::codecvt_base::error, L"", 0},
      {Encoding::Utf8, "\xFF", 8, std::codecvt_base::partial, L"", 0},
      {Encoding::Utf8, "\xED\xA0\x80", 8, std::codecvt_base::ok, L"\xD800", 3},
      {Encoding::Utf8, "\xF0\x9F\x98\x80", 1, std::codecvt_base::partial, L"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(Name(c.encoding)) + " " + testing::PrintToString(c.bytes));
    const std::locale locale = LocaleWith(c.encoding);
    const WideCodeCvt& facet = std::use_facet<WideCodeCvt>(locale);
    std::mbstate_t state{};
    std::wstring units(c.room, L'\0');
    const char* fromNext = nullptr;
    wchar_t* toNext = nullptr;
    EXPECT_EQ(facet.in(state, c.bytes.data(), c.bytes.data() + c.bytes.size(), fromNext,
                       units.data(), units.data() + c.room, toNext),
              c.result);
    EXPECT_EQ(std::wstring(units.data(), toNext), c.units);
    EXPECT_EQ(static_cast<std::size_t>(fromNext - c.bytes.data()), c.bytesConsumed);
  }
}

// Each piece is one out() call with the state carried over, then unshift() ends the
// stream, as basic_filebuf does with its buffer-sized pieces.
TEST(StreamCodeCvt, Out) {
  struct Case {
    Encoding encoding;
    std::vector<std::wstring> pieces;
    std::string bytes;
  };
  const Case cases[] = {
      {Encoding::Utf16LE, {L"\u20AC"}, "\xAC\x20"},
      {Encoding::Utf16LE, {L"a\xD83D", L"\xDE00"}, std::string("a\0\x3D\xD8\x00\xDE", 6)},
      {Encoding::Utf8, {L"\u00E9"}, "\xC3\xA9"},
      {Encoding::Utf8, {L"\xD83D\xDE00"}, "\xF0\x9F\x98\x80"},
      {Encoding::Utf8, {L"\xDC00"}, "\xED\xB0\x80"},
      // A pair cut by the buffer boundary is still one sequence.
      {Encoding::Utf8, {L"a\xD83D", L"\xDE00" L"b"}, "a\xF0\x9F\x98\x80" "b"},
      {Encoding::Utf8, {L"ab\xD83D", L"\xDE00"}, "ab\xF0\x9F\x98\x80"},
      // A held high surrogate that turns out to be lone is written by itself.
      {Encoding::Utf8, {L"a\xD83D", L"x"}, "a\xED\xA0\xBDx"},
      {Encoding::Utf8, {L"a\xD83D"}, "a\xED\xA0\xBD"},
      {Encoding::Utf8, {L"a\xD83D", L"\xD83D\xD83D", L"\xDE00"}, "a\xED\xA0\xBD\xED\xA0\xBD\xF0\x9F\x98\x80"},
      // A single unit is written at once (an unbuffered stream hands them one by one).
      {Encoding::Utf8, {L"\xD83D", L"\xDE00"}, "\xED\xA0\xBD\xED\xB8\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(Name(c.encoding)) + " " + testing::PrintToString(c.bytes));
    const std::locale locale = LocaleWith(c.encoding);
    const WideCodeCvt& facet = std::use_facet<WideCodeCvt>(locale);
    std::mbstate_t state{};
    std::string bytes;
    for (const std::wstring& piece : c.pieces) {
      std::string buffer(4 * piece.size() + 3, '\0');
      const wchar_t* fromNext = nullptr;
      char* toNext = nullptr;
      EXPECT_EQ(facet.out(state, piece.data(), piece.data() + piece.size(), fromNext,
                          buffer.data(), buffer.data() + buffer.size(), toNext),
                std::codecvt_base::ok);
      EXPECT_EQ(fromNext, piece.data() + piece.size());
      bytes.append(buffer.data(), toNext);
    }
    char tail[8];
    char* tailNext = nullptr;
    EXPECT_EQ(facet.unshift(state, tail, tail + sizeof(tail), tailNext), std::codecvt_base::ok);
    bytes.append(tail, tailNext);
    EXPECT_EQ(bytes, c.bytes);
  }
}

TEST(StreamCodeCvt, OutStopsAtAFullTarget) {
  const std::wstring units = L"ab\u20AC";
  for (const Encoding encoding : {Encoding::Utf16LE, Encoding::Utf8}) {
    SCOPED_TRACE(Name(encoding));
    const std::locale locale = LocaleWith(encoding);
    const WideCodeCvt& facet = std::use_facet<WideCodeCvt>(locale);
    std::mbstate_t state{};
    char buffer[4];
    const wchar_t* fromNext = nullptr;
    char* toNext = nullptr;
    const auto result = facet.out(state, units.data(), units.data() + units.size(), fromNext,
                                  buffer, buffer + sizeof(buffer), toNext);
    EXPECT_EQ(result, encoding == Encoding::Utf8 ? std::codecvt_base::partial : std::codecvt_base::ok);
    EXPECT_EQ(fromNext - units.data(), 2);
    EXPECT_EQ(toNext - buffer, encoding == Encoding::Utf8 ? 2 : 4);
  }
}

// basic_filebuf adds length() to a byte position to find where a wide character starts
// in the file, so length() counts bytes: the bytes of at most `max` whole characters.
TEST(StreamCodeCvt, LengthCountsTheBytesOfAtMostMaxUnits) {
  struct Case {
    Encoding encoding;
    std::string bytes;
    std::size_t max;
    int length;
  };
  const std::string utf8 = "a\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, U+20AC, U+1F600 (a pair)
  const Case cases[] = {
      {Encoding::Utf16LE, "abcdef", 2, 4},   {Encoding::Utf16LE, "abcde", 10, 4},
      {Encoding::Utf16LE, "abcdef", 0, 0},   {Encoding::Utf8, utf8, 0, 0},
      {Encoding::Utf8, utf8, 1, 1},          {Encoding::Utf8, utf8, 2, 4},
      {Encoding::Utf8, utf8, 3, 4},          {Encoding::Utf8, utf8, 4, 8},
      {Encoding::Utf8, utf8, 100, 8},        {Encoding::Utf8, "a\xE2\x82", 10, 1},
      {Encoding::Utf8, "a\xC0\x80" "b", 10, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << Name(c.encoding) << " " << testing::PrintToString(c.bytes)
                                    << " max " << c.max);
    const std::locale locale = LocaleWith(c.encoding);
    const WideCodeCvt& facet = std::use_facet<WideCodeCvt>(locale);
    std::mbstate_t state{};
    EXPECT_EQ(facet.length(state, c.bytes.data(), c.bytes.data() + c.bytes.size(), c.max), c.length);
  }
}

// Random units, surrogates of every kind among them, written by out() in pieces of the
// sizes a stream buffer hands over and read back by in() through pieces and targets of
// random sizes: the units come back unchanged, and the bytes do not depend on where the
// pieces were cut.
TEST(StreamCodeCvt, Utf8FacetReadsBackAnySequenceOfUnitsItWrote) {
  const std::locale locale = LocaleWith(Encoding::Utf8);
  const WideCodeCvt& facet = std::use_facet<WideCodeCvt>(locale);
  std::mt19937 random(20240603);
  auto pick = [&random](std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random);
  };

  for (int round = 0; round < 2000; ++round) {
    SCOPED_TRACE(round);
    std::wstring units;
    const std::size_t length = pick(0, 48);
    while (units.size() < length) {
      switch (pick(0, 4)) {
        case 0: units += static_cast<wchar_t>(pick(0, 0x7F)); break;
        case 1: units += static_cast<wchar_t>(pick(0, 0xFFFF)); break;
        case 2: units += static_cast<wchar_t>(pick(0xD800, 0xDBFF)); break;
        case 3: units += static_cast<wchar_t>(pick(0xDC00, 0xDFFF)); break;
        default:
          units += static_cast<wchar_t>(pick(0xD800, 0xDBFF));
          units += static_cast<wchar_t>(pick(0xDC00, 0xDFFF));
          break;
      }
    }

    std::mbstate_t state{};
    std::string bytes;
    for (std::size_t position = 0; position < units.size();) {
      const std::size_t end = std::min(units.size(), position + pick(2, 16));
      std::string buffer(4 * (end - position), '\0');  // what basic_filebuf gives
      const wchar_t* fromNext = nullptr;
      char* toNext = nullptr;
      const auto result = facet.out(state, units.data() + position, units.data() + end, fromNext,
                                    buffer.data(), buffer.data() + buffer.size(), toNext);
      ASSERT_NE(result, std::codecvt_base::error);
      ASSERT_TRUE(fromNext > units.data() + position || toNext > buffer.data()) << "no progress";
      bytes.append(buffer.data(), toNext);
      position = static_cast<std::size_t>(fromNext - units.data());
    }
    char tail[4];
    char* tailNext = nullptr;
    ASSERT_EQ(facet.unshift(state, tail, tail + sizeof(tail), tailNext), std::codecvt_base::ok);
    bytes.append(tail, tailNext);
    ASSERT_EQ(bytes, LenientUtf8(units));

    std::wstring back;
    bool noProgress = false;
    for (std::size_t position = 0; position < bytes.size();) {
      // Like the stream buffer, offer all the bytes and room after a call that could
      // convert nothing (a piece that ended inside a sequence, or a full target).
      const bool wholeRest = noProgress;
      const std::size_t end = wholeRest ? bytes.size() : std::min(bytes.size(), position + pick(1, 12));
      std::wstring target(wholeRest ? 8 : pick(1, 8), L'\0');
      const char* fromNext = nullptr;
      wchar_t* toNext = nullptr;
      const auto result = facet.in(state, bytes.data() + position, bytes.data() + end, fromNext,
                                   target.data(), target.data() + target.size(), toNext);
      ASSERT_NE(result, std::codecvt_base::error);
      back.append(target.data(), toNext);
      noProgress = fromNext == bytes.data() + position;
      ASSERT_FALSE(noProgress && wholeRest) << "stuck at byte " << position;
      position = static_cast<std::size_t>(fromNext - bytes.data());
    }
    ASSERT_EQ(back, units);
  }
}

// Real files written and read by libstdc++'s wide file streams with the facets imbued.
class FacetFile : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t folder[MAX_PATH];
    wchar_t name[MAX_PATH];
    ASSERT_NE(::GetTempPathW(MAX_PATH, folder), 0u);
    ASSERT_NE(::GetTempFileNameW(folder, L"vtx", 0, name), 0u);
    path_ = name;
  }
  void TearDown() override { std::filesystem::remove(path_); }

  void Write(Encoding encoding, const std::wstring& text, bool unbuffered = false) {
    std::wofstream file;
    if (unbuffered) file.rdbuf()->pubsetbuf(nullptr, 0);
    file.imbue(LocaleWith(encoding));
    file.open(path_, std::ios::out | std::ios::trunc | std::ios::binary);
    ASSERT_TRUE(file.is_open());
    file << text;
    file.close();
    ASSERT_FALSE(file.fail());
  }

  std::string Bytes() const {
    std::ifstream file(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  std::wstring Read(Encoding encoding) const {
    std::wifstream file;
    file.imbue(LocaleWith(encoding));
    file.open(path_, std::ios::in | std::ios::binary);
    std::wstring text{std::istreambuf_iterator<wchar_t>(file), std::istreambuf_iterator<wchar_t>()};
    EXPECT_FALSE(file.bad());
    return text;
  }

  std::filesystem::path path_;
};

std::wstring Repeat(const std::wstring& piece, std::size_t times) {
  std::wstring text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// Texts several stream buffers long (libstdc++ converts 4096 units at a time here), so
// the buffer's boundaries fall inside them: after one unit, every pair sits at an odd
// position and a boundary at an even one cuts a pair in two.
TEST_F(FacetFile, WritesTheExpectedBytesAndReadsTheTextBack) {
  const std::wstring mixed = Repeat(L"caf\u00E9 \u20AC\xD83D\xDE00 line\r\n", 1500);
  const std::wstring pairsAtOddUnits = L"a" + Repeat(L"\xD83D\xDE00", 10000);
  const std::wstring pairsAtEvenUnits = Repeat(L"\xD83D\xDE00", 10000);
  const std::wstring loneSurrogates = Repeat(L"x\xDC00y\xD800z", 500) + L"\xDBFF";
  struct Case {
    const char* name;
    Encoding encoding;
    std::wstring text;
    std::string bytes;
    bool unbuffered = false;
  };
  const Case cases[] = {
      {"UTF-16LE mixed", Encoding::Utf16LE, mixed, LittleEndianBytes(mixed)},
      {"UTF-16LE lone surrogates", Encoding::Utf16LE, loneSurrogates, LittleEndianBytes(loneSurrogates)},
      {"UTF-8 mixed", Encoding::Utf8, mixed, SystemUtf8(mixed)},
      {"UTF-8 pairs at odd units", Encoding::Utf8, pairsAtOddUnits, SystemUtf8(pairsAtOddUnits)},
      {"UTF-8 pairs at even units", Encoding::Utf8, pairsAtEvenUnits, SystemUtf8(pairsAtEvenUnits)},
      {"UTF-8 lone surrogates", Encoding::Utf8, loneSurrogates, LenientUtf8(loneSurrogates)},
      // Unbuffered, units come one at a time: a pair is written as two lone units, which
      // still read back as the pair.
      {"UTF-8 unbuffered", Encoding::Utf8, mixed.substr(0, 200), "", true},
      {"UTF-8 empty", Encoding::Utf8, L"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(c.encoding, c.text, c.unbuffered);
    if (!c.unbuffered) {
      EXPECT_EQ(Bytes(), c.bytes);
    }
    EXPECT_EQ(Read(c.encoding), c.text);
  }
}

// tellg() in the middle of a read buffer asks the facet's length() for the byte position;
// seeking back there must give the same characters again.
TEST_F(FacetFile, ReadingStreamFindsItsPositionAgain) {
  const std::wstring text = Repeat(L"ab\u00E9\u20AC\xD83D\xDE00\r\n", 2000);
  constexpr std::size_t kSkip = 5000;
  constexpr std::size_t kSpan = 300;
  ASSERT_FALSE(IsLowSurrogate(static_cast<std::uint16_t>(text[kSkip]))) << "a character boundary";
  for (const Encoding encoding : {Encoding::Utf16LE, Encoding::Utf8}) {
    SCOPED_TRACE(Name(encoding));
    Write(encoding, text);
    std::wifstream file;
    file.imbue(LocaleWith(encoding));
    file.open(path_, std::ios::in | std::ios::binary);
    file.ignore(kSkip);
    const std::wifstream::pos_type position = file.tellg();
    ASSERT_NE(position, std::wifstream::pos_type(-1));

    std::wstring first(kSpan, L'\0');
    file.read(first.data(), kSpan);
    file.seekg(position);
    std::wstring second(kSpan, L'\0');
    file.read(second.data(), kSpan);
    EXPECT_EQ(first, text.substr(kSkip, kSpan));
    EXPECT_EQ(second, first);
  }
}

}  // namespace
