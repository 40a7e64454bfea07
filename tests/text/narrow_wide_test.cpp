#include "text/narrow_wide.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "heap_watch.h"
#include "text/code_page.h"
#include "text/cp1252.h"
#include "thread_locale_scope.h"

namespace {

using testing::ElementsAre;

std::wstring Wide(const ScrubbedBuffer<wchar_t>& buffer) { return buffer.get(); }
std::string Narrow(const ScrubbedBuffer<char>& buffer) { return buffer.get(); }

// A text of `length` bytes that uses the table's range and Latin-1 alike.
std::string WesternBytes(std::size_t length) {
  const char pattern[] = "a\x80\xE9z\x9F\xFF";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += pattern[i % 6];
  return text;
}

std::wstring SystemWide(const std::string& text, UINT codePage) {
  std::wstring wide(text.size() + 1, L'\0');
  const int written = ::MultiByteToWideChar(codePage, 0, text.c_str(), -1, wide.data(),
                                            static_cast<int>(wide.size()));
  wide.resize(written > 0 ? static_cast<std::size_t>(written - 1) : 0);
  return wide;
}

std::wstring TableWide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const char* source = text.data();
  wchar_t* target = wide.data();
  Cp1252ToWide(source, text.data() + text.size(), target, wide.data() + wide.size());
  return wide;
}

TEST(TextConversion, ProcessFlagAndConversionCodePage) {
  EXPECT_EQ(AnsiCodePageIs1252, ::GetACP() == 1252);
  // Each thread converts in its own ANSI code page.
  EXPECT_EQ(GetConversionCodePage(), static_cast<UINT>(CP_THREAD_ACP));
}

TEST(TextConversion, TableAndSystemConverterDifferOnlyWhereWindows1252IsUndefined) {
  ASSERT_EQ(::GetACP(), 1252u) << "Wine's default ANSI code page";
  struct Case {
    std::string narrow;
    bool table;
    std::wstring wide;
    std::string backToNarrow;
  };
  const Case cases[] = {
      {"\x80", true, L"\u20AC", "\x80"},
      {"\x80", false, L"\u20AC", "\x80"},
      {"\x81", true, L"\uFFFD", "\x81"},
      {"\x81", false, L"\u0081", "\x81"},
      {"caf\xE9", true, L"caf\u00E9", "caf\xE9"},
      {"caf\xE9", false, L"caf\u00E9", "caf\xE9"},
      {"", true, L"", ""},
      {"", false, L"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.narrow) + (c.table ? " table" : " system"));
    ScrubbedBuffer<wchar_t> wide;
    NarrowToWide(c.narrow.c_str(), c.table, &wide);
    ASSERT_TRUE(wide);
    EXPECT_EQ(Wide(wide), c.wide);
    EXPECT_EQ(std::wstring(NarrowToWide(c.narrow.c_str(), c.table).get()), c.wide);

    ScrubbedBuffer<char> narrow;
    WideToNarrow(c.wide.c_str(), c.table, &narrow);
    ASSERT_TRUE(narrow);
    EXPECT_EQ(Narrow(narrow), c.backToNarrow);
    EXPECT_EQ(std::string(WideToNarrow(c.wide.c_str(), c.table).get()), c.backToNarrow);
  }
}

TEST(TextConversion, TableReplacesWhatWindows1252CannotHoldAndStillSucceeds) {
  for (const bool shortText : {true, false}) {
    SCOPED_TRACE(shortText ? "short" : "long");
    std::wstring text(shortText ? 10 : 2000, L'x');
    text[0] = L'\u0100';
    std::string expected(text.size(), 'x');
    expected[0] = '?';
    ScrubbedBuffer<char> narrow;
    WideToNarrow(text.c_str(), true, &narrow);
    ASSERT_TRUE(narrow);
    EXPECT_EQ(Narrow(narrow), expected);
  }
}

// The stack path ends below 1024 units with the terminator, the heap path starts there;
// both must give the same text, with and without a caller buffer.
TEST(TextConversion, ShortAndLongPathsGiveTheSameText) {
  for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{1022},
                                   std::size_t{1023}, std::size_t{5000}}) {
    for (const bool table : {true, false}) {
      SCOPED_TRACE(testing::Message() << length << (table ? " table" : " system"));
      const std::string text = WesternBytes(length);
      const std::wstring expected = table ? TableWide(text) : SystemWide(text, 1252);
      ASSERT_EQ(expected.size(), length);

      ScrubbedBuffer<wchar_t> wide;
      NarrowToWide(text.c_str(), table, &wide);
      EXPECT_EQ(Wide(wide), expected);
      EXPECT_EQ(std::wstring(NarrowToWide(text.c_str(), table).get()), expected);

      ScrubbedBuffer<char> narrow;
      WideToNarrow(expected.c_str(), table, &narrow);
      EXPECT_EQ(Narrow(narrow), text);
      EXPECT_EQ(std::string(WideToNarrow(expected.c_str(), table).get()), text);
    }
  }
}

// The converters allocate with new[] (ScrubbedBuffer), so the watch over operator new
// sees every buffer they take. A caller buffer costs one allocation of exactly the text's
// size on either path: the stack path copies once, the heap path converts in place.
TEST(TextConversion, CallerBufferCostsOneAllocationOfTheExactSize) {
  for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{500},
                                   std::size_t{1022}, std::size_t{1023}, std::size_t{3000}}) {
    for (const bool table : {true, false}) {
      SCOPED_TRACE(testing::Message() << length << (table ? " table" : " system"));
      const std::string text = WesternBytes(length);
      const std::wstring wideText = TableWide(text);
      ScrubbedBuffer<wchar_t> wide;
      ScrubbedBuffer<char> narrow;

      HeapWatch toWide;
      NarrowToWide(text.c_str(), table, &wide);
      EXPECT_THAT(toWide.Stop().allocationSizes, ElementsAre((length + 1) * sizeof(wchar_t)));

      HeapWatch toNarrow;
      WideToNarrow(wideText.c_str(), table, &narrow);
      EXPECT_THAT(toNarrow.Stop().allocationSizes, ElementsAre(length + 1));
    }
  }
}

TEST(TextConversion, ConvertersZeroTheirOwnBuffersAndTheCallersBeforeFreeingThem) {
  const std::string text = WesternBytes(3000);
  const std::string shortText = text.substr(0, 100);
  const std::wstring wideText = TableWide(text);
  for (const bool table : {true, false}) {
    SCOPED_TRACE(table ? "table" : "system");
    HeapWatch watch;
    { NarrowToWide owning(text.c_str(), table); }
    { WideToNarrow owning(wideText.c_str(), table); }
    {
      ScrubbedBuffer<wchar_t> wide;
      NarrowToWide(text.c_str(), table, &wide);
      NarrowToWide(shortText.c_str(), table, &wide);  // replaces the first result
    }
    const HeapActivity activity = watch.Stop();
    EXPECT_EQ(activity.frees, 4);
    EXPECT_EQ(activity.freesNotZeroed, 0);
  }
}

TEST(TextConversion, NullTextAndFailedConversions) {
  ScrubbedBuffer<wchar_t> wide = ScrubbedBuffer<wchar_t>::CopyOf(L"stale", 5);
  NarrowToWide nullText(nullptr, false, &wide);
  EXPECT_FALSE(wide);
  EXPECT_EQ(nullText.get(), nullptr);

  ScrubbedBuffer<char> narrow = ScrubbedBuffer<char>::CopyOf("stale", 5);
  WideToNarrow(nullptr, true, &narrow);
  EXPECT_FALSE(narrow);

  // A code page the system does not know: the short path gives the empty text, the long
  // path no text.
  constexpr UINT kUnknownCodePage = 12345;
  NarrowToWide("abc", false, &wide, kUnknownCodePage);
  ASSERT_TRUE(wide);
  EXPECT_EQ(Wide(wide), L"");
  NarrowToWide(WesternBytes(2000).c_str(), false, &wide, kUnknownCodePage);
  EXPECT_FALSE(wide);
  EXPECT_EQ(NarrowToWide("abc", false, nullptr, kUnknownCodePage).get(), nullptr);

  WideToNarrow(L"abc", false, &narrow, kUnknownCodePage);
  ASSERT_TRUE(narrow);
  EXPECT_EQ(Narrow(narrow), "");
  WideToNarrow(std::wstring(2000, L'a').c_str(), false, &narrow, kUnknownCodePage);
  EXPECT_FALSE(narrow);
}

TEST(TextConversion, IntoCallerBuffers) {
  wchar_t wide[4];
  char narrow[4];
  struct Case {
    const char* name;
    wchar_t* wideOutput;
    const char* narrowText;
    int wideSize;
    UINT codePage;
    const wchar_t* expected;  // null: the call answers null
  };
  const Case cases[] = {
      {"1251", wide, "\xC0\xE1", 4, 1251, L"\u0410\u0431"},
      {"932", wide, "\x82\xA0", 4, 932, L"\u3042"},
      {"too small", wide, "abcd", 4, 1252, nullptr},
      {"null output", nullptr, "a", 4, 1252, nullptr},
      {"null text", wide, nullptr, 4, 1252, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::wmemset(wide, L'#', 4);
    const wchar_t* result = NarrowToWideInto(c.wideOutput, c.narrowText, c.wideSize, c.codePage);
    if (c.expected == nullptr) {
      EXPECT_EQ(result, nullptr);
    } else {
      ASSERT_EQ(result, wide);
      EXPECT_STREQ(result, c.expected);
      std::memset(narrow, '#', 4);
      ASSERT_EQ(WideToNarrowInto(narrow, c.expected, 4, c.codePage), narrow);
      EXPECT_STREQ(narrow, c.narrowText);
    }
  }
  // A size of zero leaves the buffer untouched.
  std::wmemset(wide, L'#', 4);
  std::memset(narrow, '#', 4);
  EXPECT_EQ(NarrowToWideInto(wide, "a", 0, 1252), nullptr);
  EXPECT_EQ(WideToNarrowInto(narrow, L"a", 0, 1252), nullptr);
  EXPECT_EQ(wide[0], L'#');
  EXPECT_EQ(narrow[0], '#');
}

// The system converter follows the thread's ANSI code page; the table does not.
TEST(TextConversion, SystemConverterUsesTheThreadsAnsiCodePage) {
  struct Case {
    LANGID language;
    std::string narrow;
    std::wstring wide;
  };
  const Case cases[] = {
      {kRussian, "\xC0\xE1", L"\u0410\u0431"},
      {kJapanese, "\x82\xA0", L"\u3042"},
      {kJapanese, "\x82\xA0" "a\xB1", L"\u3042a\uFF71"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.narrow));
    ThreadLocaleScope locale(c.language);
    ASSERT_TRUE(locale.changed());

    ScrubbedBuffer<wchar_t> wide;
    NarrowToWide(c.narrow.c_str(), false, &wide);
    EXPECT_EQ(Wide(wide), c.wide);
    ScrubbedBuffer<char> narrow;
    WideToNarrow(c.wide.c_str(), false, &narrow);
    EXPECT_EQ(Narrow(narrow), c.narrow);

    NarrowToWide(c.narrow.c_str(), true, &wide);
    EXPECT_EQ(Wide(wide), TableWide(c.narrow));
  }
}

// Double-byte text on both sides of the short/long boundary, and a code page whose
// characters take three bytes, which the stack buffer of two bytes a character cannot hold.
TEST(TextConversion, OtherCodePagesGiveTheSameTextOnBothPaths) {
  struct Case {
    UINT codePage;
    std::wstring unit;
    std::string encodedUnit;
    std::size_t repeat;
  };
  const Case cases[] = {
      {932, L"\u3042", "\x82\xA0", 511},   // 1022 bytes: stack path
      {932, L"\u3042", "\x82\xA0", 512},   // 1024 bytes: heap path
      {1251, L"\u0416", "\xC6", 1023},
      {CP_UTF8, L"\u20AC", "\xE2\x82\xAC", 10},
      {CP_UTF8, L"\u20AC", "\xE2\x82\xAC", 600},
      {CP_UTF8, L"\u20AC", "\xE2\x82\xAC", 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.codePage << " x" << c.repeat);
    std::wstring wideText;
    std::string narrowText;
    for (std::size_t i = 0; i < c.repeat; ++i) {
      wideText += c.unit;
      narrowText += c.encodedUnit;
    }
    ScrubbedBuffer<wchar_t> wide;
    NarrowToWide(narrowText.c_str(), false, &wide, c.codePage);
    EXPECT_EQ(Wide(wide), wideText);
    EXPECT_EQ(std::wstring(NarrowToWide(narrowText.c_str(), false, nullptr, c.codePage).get()),
              wideText);

    ScrubbedBuffer<char> narrow;
    WideToNarrow(wideText.c_str(), false, &narrow, c.codePage);
    EXPECT_EQ(Narrow(narrow), narrowText);
    EXPECT_EQ(std::string(WideToNarrow(wideText.c_str(), false, nullptr, c.codePage).get()),
              narrowText);
  }
}

TEST(TemporaryConversion, ConvertsWithTheThreadsCodePageOnTheStackOrTheHeap) {
  EXPECT_EQ(TemporaryWideText(nullptr).get(), nullptr);
  EXPECT_EQ(TemporaryNarrowText(nullptr).get(), nullptr);

  // Past the inline buffers (256 units, 512 bytes), the text takes the heap path.
  for (const std::size_t length : {std::size_t{0}, std::size_t{200}, std::size_t{300},
                                   std::size_t{2000}}) {
    SCOPED_TRACE(length);
    const std::string text = WesternBytes(length);
    const std::wstring wide = SystemWide(text, 1252);
    ASSERT_NE(TemporaryWideText(text.c_str()).get(), nullptr);
    EXPECT_EQ(std::wstring(TemporaryWideText(text.c_str()).get()), wide);
    ASSERT_NE(TemporaryNarrowText(wide.c_str()).get(), nullptr);
    EXPECT_EQ(std::string(TemporaryNarrowText(wide.c_str()).get()), text);
  }

  ThreadLocaleScope russian(kRussian);
  ASSERT_TRUE(russian.changed());
  EXPECT_EQ(std::wstring(TemporaryWideText("\xC0\xE1").get()), L"\u0410\u0431");
  EXPECT_EQ(std::string(TemporaryNarrowText(L"\u0410\u0431").get()), "\xC0\xE1");
}

}  // namespace
