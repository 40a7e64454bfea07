// The logging formats and ZULString are written for the Microsoft run time's formatters:
// in a wide format %s is a wide string and %S a narrow one, %I64d takes a 64-bit integer,
// and the count-limited formatters answer -1 when the output does not fit. A build that
// slipped in another printf family (mingw's C99 one) would change all of that silently.

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

int WideFormat(wchar_t* buffer, std::size_t count, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = ::_vsnwprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

int NarrowFormat(char* buffer, std::size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = ::_vsnprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

TEST(RuntimeFormatting, WideFormatTakesWideLowerSNarrowUpperSAnd64BitIntegers) {
  wchar_t buffer[128] = {};
  const int written = WideFormat(buffer, 127, L"%s|%S|%I64d|%I64u|%ls|%hs", L"wide\u00e9", "narrow",
                                 -1234567890123LL, 18446744073709551615ULL, L"l", "h");
  EXPECT_STREQ(buffer, L"wide\u00e9|narrow|-1234567890123|18446744073709551615|l|h");
  EXPECT_EQ(written, static_cast<int>(std::wcslen(buffer)));
}

TEST(RuntimeFormatting, NarrowFormatTakesNarrowLowerSWideUpperSAnd64BitIntegers) {
  char buffer[128] = {};
  const int written =
      NarrowFormat(buffer, 127, "%s|%S|%I64d", "narrow", L"wide", -1234567890123LL);
  EXPECT_STREQ(buffer, "narrow|wide|-1234567890123");
  EXPECT_EQ(written, static_cast<int>(std::strlen(buffer)));
}

// Count 4 and a sentinel behind it: output that fits is terminated; output of exactly the
// count is written without a terminator and counted; longer output is cut at the count and
// answers -1. Neither formatter writes past the count.
TEST(RuntimeFormatting, CountLimitedFormattersCutAtTheCountAndAnswerMinusOne) {
  struct Case {
    const char* output;
    int expectedResult;
    const char* expectedBuffer;  // the 4 counted characters and the sentinel
  };
  const Case cases[] = {
      {"abc", 3, "abc\0#"},
      {"abcd", 4, "abcd#"},
      {"abcde", -1, "abcd#"},
      {"abcdefghij", -1, "abcd#"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    char narrow[5];
    std::memset(narrow, '#', sizeof(narrow));
    EXPECT_EQ(NarrowFormat(narrow, 4, "%s", c.output), c.expectedResult);
    EXPECT_EQ(std::string(narrow, 5), std::string(c.expectedBuffer, 5));

    wchar_t wide[5];
    std::wmemset(wide, L'#', 5);
    EXPECT_EQ(WideFormat(wide, 4, L"%S", c.output), c.expectedResult);
    EXPECT_EQ(std::wstring(wide, 5), std::wstring(c.expectedBuffer, c.expectedBuffer + 5));
  }
}

}  // namespace
