#include "text/utf_conversion.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <iterator>
#include <random>
#include <string>

#include "text/system_utf8.h"

namespace {

constexpr std::size_t kRoomy = 64;

struct Utf8Output {
  UtfConversionResult result;
  std::string bytes;
  std::size_t unitsConsumed;
};

Utf8Output ToUtf8(const std::wstring& units, UtfConversionFlags flags, std::size_t room) {
  std::string bytes(room, '\0');
  const wchar_t* source = units.data();
  char* target = bytes.data();
  const UtfConversionResult result =
      Utf16ToUtf8(source, units.data() + units.size(), target, bytes.data() + room, flags);
  bytes.resize(static_cast<std::size_t>(target - bytes.data()));
  return {result, bytes, static_cast<std::size_t>(source - units.data())};
}

struct Utf16Output {
  UtfConversionResult result;
  std::wstring units;
  std::size_t bytesConsumed;
};

Utf16Output ToUtf16(const std::string& bytes, UtfConversionFlags flags, std::size_t room) {
  std::wstring units(room, L'\0');
  const char* source = bytes.data();
  wchar_t* target = units.data();
  const UtfConversionResult result =
      Utf8ToUtf16(source, bytes.data() + bytes.size(), target, units.data() + room, flags);
  units.resize(static_cast<std::size_t>(target - units.data()));
  return {result, units, static_cast<std::size_t>(source - bytes.data())};
}

TEST(Utf16ToUtf8, ConvertsPairsBoundariesAndLoneSurrogatesByMode) {
  struct Case {
    std::wstring units;
    UtfConversionFlags flags;
    UtfConversionResult result;
    std::string bytes;
    std::size_t unitsConsumed;
    std::size_t room = kRoomy;
  };
  const Case cases[] = {
      {L"\u00E9", UTF_STRICT, UTF_OK, "\xC3\xA9", 1},
      {L"\u20AC", UTF_STRICT, UTF_OK, "\xE2\x82\xAC", 1},
      {L"\u007F\u0080\u07FF\u0800\uFFFF", UTF_STRICT, UTF_OK,
       "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", 5},
      {L"\xD83D\xDE00", UTF_STRICT, UTF_OK, "\xF0\x9F\x98\x80", 2},
      {L"\xDBFF\xDFFF", UTF_STRICT, UTF_OK, "\xF4\x8F\xBF\xBF", 2},
      // A lone low surrogate.
      {L"\xDE00", UTF_STRICT, UTF_SOURCE_ILLEGAL, "", 0},
      {L"\xDE00", UTF_LENIENT, UTF_OK, "\xED\xB8\x80", 1},
      // A high surrogate followed by something else: strict stops on it.
      {L"a\xD83D" L"b", UTF_STRICT, UTF_SOURCE_ILLEGAL, "a", 1},
      {L"a\xD83D" L"b", UTF_LENIENT, UTF_OK, "a\xED\xA0\xBD" "b", 3},
      {L"\xD83D\xD83D\xDE00", UTF_LENIENT, UTF_OK, "\xED\xA0\xBD\xF0\x9F\x98\x80", 3},
      // A high surrogate at the end of the source may be completed by the next piece:
      // strict waits for it, lenient writes it by itself.
      {L"a\xD83D", UTF_STRICT, UTF_SOURCE_EXHAUSTED, "a", 1},
      {L"a\xD83D", UTF_LENIENT, UTF_OK, "a\xED\xA0\xBD", 2},
      // A character that does not fit leaves both positions before it.
      {L"\u20AC", UTF_STRICT, UTF_TARGET_EXHAUSTED, "", 0, 2},
      {L"a\u20AC", UTF_LENIENT, UTF_TARGET_EXHAUSTED, "a", 1, 3},
      {L"\xD83D\xDE00", UTF_STRICT, UTF_TARGET_EXHAUSTED, "", 0, 3},
      {L"", UTF_STRICT, UTF_OK, "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes) + (c.flags == UTF_STRICT ? " strict" : " lenient"));
    const Utf8Output output = ToUtf8(c.units, c.flags, c.room);
    EXPECT_EQ(output.result, c.result);
    EXPECT_EQ(output.bytes, c.bytes);
    EXPECT_EQ(output.unitsConsumed, c.unitsConsumed);
  }
}

TEST(Utf8ToUtf16, DecodesAndRefusesByMode) {
  struct Case {
    std::string bytes;
    UtfConversionFlags flags;
    UtfConversionResult result;
    std::wstring units;
    std::size_t bytesConsumed;
    std::size_t room = kRoomy;
  };
  const Case cases[] = {
      {"\xE2\x82\xAC", UTF_STRICT, UTF_OK, L"\u20AC", 3},
      {"\xF0\x9F\x98\x80", UTF_STRICT, UTF_OK, L"\xD83D\xDE00", 4},
      {"\xF4\x8F\xBF\xBF", UTF_STRICT, UTF_OK, L"\xDBFF\xDFFF", 4},
      // Incomplete at the end of the source: nothing of the sequence is taken.
      {"\xE2\x82", UTF_STRICT, UTF_SOURCE_EXHAUSTED, L"", 0},
      {"a\xE2\x82", UTF_LENIENT, UTF_SOURCE_EXHAUSTED, L"a", 1},
      // A lone 0xFF claims five trailing bytes, so it waits for them first.
      {"\xFF", UTF_LENIENT, UTF_SOURCE_EXHAUSTED, L"", 0},
      // Overlong forms, values above U+10FFFF, stray and bad continuation bytes.
      {"\xC0\x80", UTF_STRICT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"\xC0\x80", UTF_LENIENT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"\xC1\xBF", UTF_LENIENT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"\xE0\x9F\xBF", UTF_LENIENT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"\xF0\x8F\xBF\xBF", UTF_LENIENT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"\xF4\x90\x80\x80", UTF_STRICT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"\xF4\x90\x80\x80", UTF_LENIENT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"\xF5\x80\x80\x80", UTF_LENIENT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"\xF8\x88\x80\x80\x80", UTF_LENIENT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"a\x80" "b", UTF_LENIENT, UTF_SOURCE_ILLEGAL, L"a", 1},
      {"\xE2\x28\xA1", UTF_LENIENT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"\xE2\x82\x28", UTF_LENIENT, UTF_SOURCE_ILLEGAL, L"", 0},
      // Encoded surrogates: refused by strict, read as the lone unit by lenient.
      {"\xED\xA0\x80", UTF_STRICT, UTF_SOURCE_ILLEGAL, L"", 0},
      {"\xED\xA0\x80", UTF_LENIENT, UTF_OK, L"\xD800", 3},
      {"\xED\xBF\xBF", UTF_LENIENT, UTF_OK, L"\xDFFF", 3},
      // A character that does not fit leaves both positions before it.
      {"a\xE2\x82\xAC", UTF_STRICT, UTF_TARGET_EXHAUSTED, L"a", 1, 1},
      {"\xF0\x9F\x98\x80", UTF_STRICT, UTF_TARGET_EXHAUSTED, L"", 0, 1},
      {"", UTF_STRICT, UTF_OK, L"", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes) + (c.flags == UTF_STRICT ? " strict" : " lenient"));
    const Utf16Output output = ToUtf16(c.bytes, c.flags, c.room);
    EXPECT_EQ(output.result, c.result);
    EXPECT_EQ(output.units, c.units);
    EXPECT_EQ(output.bytesConsumed, c.bytesConsumed);
  }
}

// Random text from every width of UTF-8 with surrogate pairs among it.
class RandomText {
 public:
  explicit RandomText(std::uint32_t seed) : random_(seed) {}

  std::wstring WellFormed(std::size_t maxLength) {
    std::wstring text;
    const std::size_t length = Pick(0, maxLength);
    while (text.size() < length) {
      switch (Pick(0, 4)) {
        case 0: text += static_cast<wchar_t>(Pick(0x01, 0x7F)); break;
        case 1: text += static_cast<wchar_t>(Pick(0x80, 0x7FF)); break;
        case 2: text += static_cast<wchar_t>(Pick(0x800, 0xD7FF)); break;
        case 3: text += static_cast<wchar_t>(Pick(0xE000, 0xFFFF)); break;
        default:
          text += static_cast<wchar_t>(Pick(0xD800, 0xDBFF));
          text += static_cast<wchar_t>(Pick(0xDC00, 0xDFFF));
          break;
      }
    }
    return text;
  }

  std::size_t Pick(std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random_);
  }

 private:
  std::mt19937 random_;
};

constexpr std::uint32_t kSeed = 20240603;
constexpr int kRounds = 2000;

TEST(UtfConversion, StrictModeMatchesTheSystemConverterOnRandomWellFormedText) {
  RandomText random(kSeed);
  for (int round = 0; round < kRounds; ++round) {
    const std::wstring text = random.WellFormed(40);
    SCOPED_TRACE(round);
    const Utf8Output utf8 = ToUtf8(text, UTF_STRICT, 4 * text.size());
    ASSERT_EQ(utf8.result, UTF_OK);
    ASSERT_EQ(utf8.bytes, SystemUtf8(text));
    const Utf16Output back = ToUtf16(utf8.bytes, UTF_STRICT, text.size());
    ASSERT_EQ(back.result, UTF_OK);
    ASSERT_EQ(back.units, text);
  }
}

TEST(UtfConversion, StrictModeStopsAtALoneSurrogateWhereverItStands) {
  RandomText random(kSeed + 1);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const std::wstring before = random.WellFormed(20);
    std::wstring after = random.WellFormed(20);
    const bool high = random.Pick(0, 1) == 0;
    const wchar_t lone = static_cast<wchar_t>(high ? random.Pick(0xD800, 0xDBFF) : random.Pick(0xDC00, 0xDFFF));
    // A high surrogate is lone when no low one follows it; at the very end it is only
    // unfinished.
    if (high && !after.empty() && IsLowSurrogate(after[0])) after.insert(0, L"x");
    const std::wstring text = before + lone + after;
    const UtfConversionResult expected =
        high && after.empty() ? UTF_SOURCE_EXHAUSTED : UTF_SOURCE_ILLEGAL;

    const Utf8Output utf8 = ToUtf8(text, UTF_STRICT, 4 * text.size());
    ASSERT_EQ(utf8.result, expected);
    ASSERT_EQ(utf8.unitsConsumed, before.size());
    ASSERT_EQ(utf8.bytes, SystemUtf8(before));
  }
}

TEST(UtfConversion, StrictModeStopsAtAnIllegalSequenceWhereverItStands) {
  const std::string illegal[] = {"\xC0\x80", "\xC1\xBF", "\x80", "\xBF", "\xE0\x80\x80",
                                 "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x80\x80\x80",
                                 "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFE\x80\x80\x80\x80\x80"};
  RandomText random(kSeed + 2);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const std::wstring before = random.WellFormed(20);
    const std::string& bad = illegal[random.Pick(0, std::size(illegal) - 1)];
    const std::string bytes = SystemUtf8(before) + bad + SystemUtf8(random.WellFormed(20));
    const Utf16Output utf16 = ToUtf16(bytes, UTF_STRICT, bytes.size());
    ASSERT_EQ(utf16.result, UTF_SOURCE_ILLEGAL) << testing::PrintToString(bad);
    ASSERT_EQ(utf16.units, before);
  }
}

}  // namespace
