#include "text/zul_string.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "heap_watch.h"
#include "thread_locale_scope.h"

namespace {

using zul::ZULString;

std::wstring WideOf(const ZULString& s) { return s.GetWide() != nullptr ? s.GetWide() : L"<none>"; }

TEST(ZULString, NoTextUntilSomethingIsAppended) {
  ZULString s;
  EXPECT_EQ(s.GetLength(), 0);
  EXPECT_EQ(s.GetWide(), nullptr);
  EXPECT_EQ(s.GetNarrow(), nullptr);
  EXPECT_EQ(*s.GetAt(0), L'\0');
  EXPECT_FALSE(s.StripWhitespace(ZULString::STRIP_TRAILING));
  EXPECT_EQ(s.GetFormatLimit(), 1024);

  s.Append(nullptr);
  EXPECT_EQ(s.GetWide(), nullptr);
  s.Append(ZULString());
  EXPECT_EQ(s.GetWide(), nullptr);
  s.Append(L"x");
  EXPECT_EQ(s.GetLength(), 1);
  EXPECT_EQ(WideOf(s), L"x");

  EXPECT_EQ(ZULString(static_cast<const wchar_t*>(nullptr)).GetWide(), nullptr);
  EXPECT_EQ(ZULString(static_cast<const char*>(nullptr), true).GetWide(), nullptr);
}

TEST(ZULString, FormatKeepsAtMost1023CharactersAndReportsTheCut) {
  struct Case {
    bool narrowFormat;
    int outputLength;
    int expectedResult;
    int expectedLength;
  };
  const Case cases[] = {
      {false, 0, 0, 0},          {false, 1022, 1022, 1022}, {false, 1023, 1023, 1023},
      {false, 1024, -1, 1023},   {false, 5000, -1, 1023},   {true, 0, 0, 0},
      {true, 1023, 1023, 1023},
      // The narrow formatter counts the whole 1024-byte buffer: output of exactly 1024
      // bytes "fits" and loses its last byte to the terminator.
      {true, 1024, 1023, 1023},  {true, 1025, -1, 1023},    {true, 5000, -1, 1023},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.narrowFormat ? "narrow " : "wide ") << c.outputLength);
    std::string narrowOutput;
    for (int i = 0; i < c.outputLength; ++i) narrowOutput += static_cast<char>('a' + i % 26);
    const std::wstring wideOutput(narrowOutput.begin(), narrowOutput.end());

    ZULString s(L"previous text");
    const int result = c.narrowFormat ? s.FormatA("%s", narrowOutput.c_str())
                                      : s.Format(L"%s", wideOutput.c_str());
    EXPECT_EQ(result, c.expectedResult);
    EXPECT_EQ(s.GetLength(), c.expectedLength);
    EXPECT_EQ(WideOf(s), wideOutput.substr(0, static_cast<std::size_t>(c.expectedLength)));
  }
}

TEST(ZULString, FormatsWithTheMicrosoftRunTimesConversions) {
  ZULString s;
  const std::wstring wideExpected = L"w\u00e9|n|-1234567890123|42|BEEF";
  EXPECT_EQ(s.Format(L"%s|%S|%I64d|%d|%04X", L"w\u00e9", "n", -1234567890123LL, 42, 0xBEEFu),
            static_cast<int>(wideExpected.size()));
  EXPECT_EQ(WideOf(s), wideExpected);
  const std::wstring narrowExpected = L"n|w|18446744073709551615";
  EXPECT_EQ(s.FormatA("%s|%S|%I64u", "n", L"w", 18446744073709551615ULL),
            static_cast<int>(narrowExpected.size()));
  EXPECT_EQ(WideOf(s), narrowExpected);

  s.Assign(L"ab");
  EXPECT_EQ(s.AppendFormat(L"%d-%s", 123, L"x"), 7);
  EXPECT_EQ(WideOf(s), L"ab123-x");
  ZULString empty;
  EXPECT_EQ(empty.AppendFormat(L"%d", 5), 1);
  EXPECT_EQ(WideOf(empty), L"5");

  EXPECT_EQ(s.Format(nullptr), -1);
  EXPECT_EQ(s.GetWide(), nullptr);
}

// Narrow formats are converted with the thread's ANSI code page, never with the table.
TEST(ZULString, NarrowFormatConvertsWithTheThreadsAnsiCodePage) {
  ZULString s;
  EXPECT_EQ(s.FormatA("%s", "\xE9\x80\x81"), 3);
  EXPECT_EQ(WideOf(s), L"\u00E9\u20AC\u0081");

  ThreadLocaleScope russian(kRussian);
  ASSERT_TRUE(russian.changed());
  EXPECT_EQ(s.FormatA("%s", "\xE9\x80"), 2);
  EXPECT_EQ(WideOf(s), L"\u0439\u0402");
}

TEST(ZULString, NarrowTextThroughTheTableOrTheSystemConverter) {
  ASSERT_EQ(::GetACP(), 1252u) << "Wine's default ANSI code page";
  struct Case {
    const char* narrow;
    bool table;
    std::wstring wide;
  };
  const Case cases[] = {
      {"\x80", true, L"\u20AC"},  {"\x80", false, L"\u20AC"}, {"\x81", true, L"\uFFFD"},
      {"\x81", false, L"\u0081"}, {"", true, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.narrow) + (c.table ? " table" : " system"));
    EXPECT_EQ(WideOf(ZULString(c.narrow, c.table)), c.wide);
  }

  // Assign picks the table on a 1252 system; GetNarrow goes back through it.
  ZULString s;
  s.Assign("\x81\x80");
  EXPECT_EQ(WideOf(s), L"\uFFFD\u20AC");
  EXPECT_STREQ(s.GetNarrow(), "\x81\x80");
  s.Assign(L"\u0100\u20AC\u00E9");
  EXPECT_STREQ(s.GetNarrow(), "?\x80\xE9");
  s.Assign(L"");
  EXPECT_STREQ(s.GetNarrow(), "");
}

TEST(ZULString, EveryChangeDropsTheNarrowForm) {
  struct Case {
    const char* change;
    std::function<void(ZULString&)> apply;
    const char* narrow;
  };
  const Case cases[] = {
      {"Append", [](ZULString& s) { s.Append(L"\u20AC"); }, " old \x80"},
      {"Append other", [](ZULString& s) { s.Append(ZULString(L"!")); }, " old !"},
      {"AppendFormat", [](ZULString& s) { s.AppendFormat(L"%d", 7); }, " old 7"},
      {"Assign", [](ZULString& s) { s.Assign(L"new"); }, "new"},
      {"Assign narrow", [](ZULString& s) { s.Assign("new"); }, "new"},
      {"AssignCount", [](ZULString& s) { s.AssignCount(L"newer", 3); }, "new"},
      {"Format", [](ZULString& s) { s.Format(L"%s", L"new"); }, "new"},
      {"FormatA", [](ZULString& s) { s.FormatA("%s", "new"); }, "new"},
      {"StripWhitespace", [](ZULString& s) { s.StripWhitespace(ZULString::STRIP_LEADING); }, "old "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    ZULString s(L" old ");
    ASSERT_STREQ(s.GetNarrow(), " old ");
    c.apply(s);
    EXPECT_STREQ(s.GetNarrow(), c.narrow);
  }
}

TEST(ZULString, StripWhitespace) {
  struct Case {
    std::wstring text;
    int flags;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"ab  ", ZULString::STRIP_TRAILING, L"ab"},
      {L"   ", ZULString::STRIP_TRAILING, L""},
      {L"", ZULString::STRIP_TRAILING, L""},
      {L" \t\r\n\v\fab \t", ZULString::STRIP_LEADING, L"ab \t"},
      {L" \t\r\n\v\fab \t", ZULString::STRIP_TRAILING, L" \t\r\n\v\fab"},
      {L"  a b  ", ZULString::STRIP_LEADING | ZULString::STRIP_TRAILING, L"a b"},
      {L"    ", ZULString::STRIP_LEADING | ZULString::STRIP_TRAILING, L""},
      {L"ab", 0, L"ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text) + " flags " + std::to_string(c.flags));
    ZULString s(c.text.c_str());
    EXPECT_TRUE(s.StripWhitespace(c.flags));
    EXPECT_EQ(WideOf(s), c.expected);
    EXPECT_EQ(s.GetLength(), static_cast<int>(c.expected.size()));
  }
}

TEST(ZULString, CharacterAccessOutsideTheTextGivesAZeroCharacter) {
  ZULString s(L"abc");
  EXPECT_EQ(*s.GetAt(0), L'a');
  EXPECT_EQ(*s.GetAt(2), L'c');
  for (const int index : {-1, 3, 1000}) {
    SCOPED_TRACE(index);
    const wchar_t* outside = s.GetAt(index);
    EXPECT_EQ(*outside, L'\0');
    EXPECT_TRUE(outside < s.GetWide() || outside > s.GetWide() + 3) << "not part of the text";
  }
}

TEST(ZULString, AssignCountCopiesExactlyThatManyCharacters) {
  ZULString s;
  EXPECT_EQ(s.AssignCount(L"ab\0cd", 5), 5);
  EXPECT_EQ(s.GetLength(), 2) << "the length ends at the first zero character";
  EXPECT_EQ(std::wstring(s.GetWide(), 6), std::wstring(L"ab\0cd\0", 6));
  EXPECT_EQ(s.AssignCount(L"xyz", 0), 0);
  EXPECT_EQ(WideOf(s), L"");
  EXPECT_EQ(s.AssignCount(L"xyz", -1), -1);
  EXPECT_EQ(s.GetWide(), nullptr);
}

// The string's own text as the source of its next value: the new text is built before
// the old one is let go.
TEST(ZULString, OwnTextCanBeTheSourceOfAChange) {
  ZULString s(L"abcdef");
  s.Assign(s.GetAt(2));
  EXPECT_EQ(WideOf(s), L"cdef");
  s.AssignCount(s.GetWide() + 1, 2);
  EXPECT_EQ(WideOf(s), L"de");
  s.Append(s);
  EXPECT_EQ(WideOf(s), L"dede");
  s.Append(s.GetWide());
  EXPECT_EQ(WideOf(s), L"dededede");
  EXPECT_EQ(s.Format(L"[%s]", s.GetWide()), 10);
  EXPECT_EQ(WideOf(s), L"[dededede]");
  EXPECT_EQ(s.AppendFormat(L"%s", s.GetWide()), 20);
  EXPECT_EQ(WideOf(s), L"[dededede][dededede]");
}

// The text, its narrow caches and the format buffers are all zeroed before they are
// freed, also where the text holds a zero character or was shortened in place, so the
// bytes past the first zero still hold text.
TEST(ZULString, EveryBufferIsZeroedBeforeItIsFreed) {
  struct Case {
    const char* change;
    std::function<void(ZULString&)> apply;
  };
  const Case cases[] = {
      {"Assign", [](ZULString& s) { s.Assign(L"x"); }},
      {"Assign narrow", [](ZULString& s) { s.Assign("x"); }},
      {"AssignCount", [](ZULString& s) { s.AssignCount(L"x", 1); }},
      {"Append", [](ZULString& s) { s.Append(L"x"); }},
      {"AppendFormat", [](ZULString& s) { s.AppendFormat(L"%s", L"x"); }},
      {"Format", [](ZULString& s) { s.Format(L"%s", L"x"); }},
      {"FormatA", [](ZULString& s) { s.FormatA("%s", "x"); }},
      {"StripWhitespace", [](ZULString& s) { s.StripWhitespace(ZULString::STRIP_LEADING); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    HeapActivity activity;
    {
      HeapWatch watch;
      {
        ZULString s;
        s.AssignCount(L"  secret\0hidden tail", 20);
        s.GetNarrow();
        c.apply(s);
        s.GetNarrow();
      }
      activity = watch.Stop();
    }
    EXPECT_GE(activity.frees, 3);
    EXPECT_EQ(activity.freesNotZeroed, 0);
  }
}

}  // namespace
