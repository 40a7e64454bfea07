#include "text/cp1252.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

std::wstring ToWide(const std::string& bytes) {
  std::wstring wide(bytes.size(), L'\0');
  const char* source = bytes.data();
  wchar_t* target = wide.data();
  EXPECT_EQ(Cp1252ToWide(source, bytes.data() + bytes.size(), target, wide.data() + wide.size()),
            CP1252_OK);
  EXPECT_EQ(source, bytes.data() + bytes.size());
  return wide;
}

struct NarrowResult {
  std::string bytes;
  Cp1252Result result;
};

NarrowResult ToNarrow(const std::wstring& wide) {
  std::string bytes(wide.size(), '\0');
  const wchar_t* source = wide.data();
  char* target = bytes.data();
  const Cp1252Result result = WideToCp1252(source, wide.data() + wide.size(), target,
                                           bytes.data() + bytes.size(), kCp1252DefaultByte);
  EXPECT_EQ(source, wide.data() + wide.size());
  return {bytes, result};
}

TEST(Cp1252, TableConvertsInBothDirections) {
  struct Case {
    std::string bytes;
    std::wstring wide;
    std::string backToBytes;  // what `wide` converts to
    Cp1252Result backResult;
  };
  const Case cases[] = {
      {"\x80", L"\u20AC", "\x80", CP1252_OK},
      {"\x81", L"\uFFFD", "\x81", CP1252_OK},
      {"\x8D\x8F\x90\x9D", L"\uFFFD\uFFFD\uFFFD\uFFFD", "\x81\x81\x81\x81", CP1252_OK},
      {"\x9F", L"\u0178", "\x9F", CP1252_OK},
      {"\x7F\xA0\xFF", L"\u007F\u00A0\u00FF", "\x7F\xA0\xFF", CP1252_OK},
      {std::string("a\0b", 3), std::wstring(L"a\0b", 3), std::string("a\0b", 3), CP1252_OK},
      {"", L"", "", CP1252_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(ToWide(c.bytes), c.wide);
    const NarrowResult back = ToNarrow(c.wide);
    EXPECT_EQ(back.bytes, c.backToBytes);
    EXPECT_EQ(back.result, c.backResult);
  }
}

TEST(Cp1252, CharactersOutsideTheCodePageBecomeQuestionMarksAndStillSucceed) {
  struct Case {
    std::wstring wide;
    std::string bytes;
    Cp1252Result result;
  };
  const Case cases[] = {
      {L"\u0100", "?", CP1252_OK_WITH_REPLACEMENTS},
      {L"a\u0100b\u20AC", "a?b\x80", CP1252_OK_WITH_REPLACEMENTS},
      {L"\u4E2D\xD83D\xDE00", "???", CP1252_OK_WITH_REPLACEMENTS},
      // U+0080 to U+009F are C1 controls; they keep their byte value.
      {L"\u0080\u009F", "\x80\x9F", CP1252_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const NarrowResult narrow = ToNarrow(c.wide);
    EXPECT_EQ(narrow.bytes, c.bytes);
    EXPECT_EQ(narrow.result, c.result);
  }
}

// The table must agree with the system's own Windows-1252 converter wherever the code page
// defines a character; the five undefined bytes are where the table says U+FFFD.
TEST(Cp1252, AgreesWithTheSystemConverterOnEveryDefinedByte) {
  for (int value = 1; value < 256; ++value) {
    SCOPED_TRACE(value);
    const std::string byte(1, static_cast<char>(value));
    const std::wstring ours = ToWide(byte);
    wchar_t system = 0;
    ASSERT_EQ(::MultiByteToWideChar(1252, 0, byte.data(), 1, &system, 1), 1);
    const bool undefined = value == 0x81 || value == 0x8D || value == 0x8F || value == 0x90 || value == 0x9D;
    EXPECT_EQ(ours[0], undefined ? L'\uFFFD' : system);
    EXPECT_EQ(ToNarrow(ours).bytes, undefined ? "\x81" : byte);
  }
}

TEST(Cp1252, StopsAtAFullTargetWithBothPositionsAfterWhatFitted) {
  const std::string bytes = "ab\x80";
  wchar_t wide[2];
  const char* source = bytes.data();
  wchar_t* wideTarget = wide;
  EXPECT_EQ(Cp1252ToWide(source, bytes.data() + 3, wideTarget, wide + 2), CP1252_TARGET_FULL);
  EXPECT_EQ(source - bytes.data(), 2);
  EXPECT_EQ(wideTarget - wide, 2);

  const std::wstring text = L"a\u0100\u20AC";
  char narrow[2];
  const wchar_t* wideSource = text.data();
  char* narrowTarget = narrow;
  // The replacement made before the target filled up is not reported: the conversion
  // did not finish.
  EXPECT_EQ(WideToCp1252(wideSource, text.data() + 3, narrowTarget, narrow + 2, '?'),
            CP1252_TARGET_FULL);
  EXPECT_EQ(wideSource - text.data(), 2);
  EXPECT_EQ(std::string(narrow, 2), "a?");
}

}  // namespace
