#include "diagnostics/system_error_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The system's own text, as FormatMessageW gives it.
std::wstring SystemText(DWORD code, DWORD language) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      language, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  UniqueLocalMemory owner(text);
  return std::wstring(text, length);
}

constexpr DWORD kCodeWithoutMessage = 0x2FFFFFFF;

TEST(SystemErrorText, IsTheSystemsTextWithoutItsTrailingLineBreak) {
  for (DWORD code : {DWORD{ERROR_FILE_NOT_FOUND}, DWORD{ERROR_ACCESS_DENIED}}) {
    SCOPED_TRACE(code);
    const std::wstring system = SystemText(code, kUserDefaultLanguage);
    ASSERT_GE(system.size(), 2u);
    ASSERT_EQ(system.substr(system.size() - 2), L"\r\n");

    const SystemErrorText text(code, kUserDefaultLanguage);
    EXPECT_EQ(text.Code(), code);
    ASSERT_NE(text.Text(), nullptr);
    EXPECT_EQ(std::wstring(text.Text()), system.substr(0, system.size() - 2));

    const SystemErrorTextA narrow(code);
    ASSERT_NE(narrow.Text(), nullptr);
    EXPECT_EQ(std::string(narrow.Text()), std::string(system.begin(), system.end() - 2));
  }
}

// The system has a text for 0 ("The operation completed successfully."); an object for
// 0 has none, because it never asks.
TEST(SystemErrorText, CodeZeroAndCodesWithoutMessageHaveNoText) {
  ASSERT_FALSE(SystemText(0, kUserDefaultLanguage).empty());
  for (DWORD code : {DWORD{0}, kCodeWithoutMessage}) {
    SCOPED_TRACE(code);
    const SystemErrorText text(code);
    EXPECT_EQ(text.Code(), code);
    EXPECT_EQ(text.Text(), nullptr);
    EXPECT_STREQ(text.c_str(), L"");
    EXPECT_EQ(SystemErrorTextA(code).Text(), nullptr);
  }
}

TEST(Win32CallError, NamesTheCallTheSystemTextAndTheDecimalCode) {
  EXPECT_EQ(Win32CallError(L"OpenProcessToken", ERROR_ACCESS_DENIED),
            L"OpenProcessToken Error: " + std::wstring(SystemErrorText(ERROR_ACCESS_DENIED).Text()) + L" (5)");
  EXPECT_EQ(Win32CallError(L"GetDiskFreeSpaceExA", kCodeWithoutMessage),
            L"GetDiskFreeSpaceExA Error:  (805306367)");
}

}  // namespace
