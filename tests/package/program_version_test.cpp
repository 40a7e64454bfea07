// The release's version as Windows and the operator see it: each program's version
// resource (read the way Explorer's file properties read it) and varrowmere-logger
// --version give the version this build was configured with.

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cwchar>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace {

const std::string kVersion = VARROWMERE_EXPECTED_VERSION;

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// "1.1.0" as the four numbers of a binary version; the parts it leaves out are 0.
std::array<WORD, 4> VersionNumbers(const std::string& text) {
  std::array<WORD, 4> numbers{};
  std::istringstream parts(text);
  std::string part;
  for (std::size_t i = 0; i < numbers.size() && std::getline(parts, part, '.'); ++i) {
    numbers[i] = static_cast<WORD>(std::stoul(part));
  }
  return numbers;
}

// A value of the resource, or "<missing>"; string values stop at their terminator.
std::wstring StringValue(const std::vector<BYTE>& resource, const std::wstring& name) {
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring path = L"\\StringFileInfo\\040904B0\\" + name;
  if (!::VerQueryValueW(resource.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == nullptr) {
    return L"<missing>";
  }
  return std::wstring(value, ::wcsnlen(value, length));
}

TEST(ProgramVersion, EachProgramsVersionResourceGivesTheProjectVersion) {
  const std::array<WORD, 4> numbers = VersionNumbers(kVersion);
  const DWORD versionHigh = MAKELONG(numbers[1], numbers[0]);
  const DWORD versionLow = MAKELONG(numbers[3], numbers[2]);
  for (const wchar_t* program : {L"varrowmere-perf.exe", L"varrowmere-logger.exe"}) {
    SCOPED_TRACE(std::string(program, program + std::wcslen(program)));
    const std::wstring path = ProgramBesideMe(program);
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "GetFileVersionInfoSizeW error " << ::GetLastError();
    std::vector<BYTE> resource(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, resource.data())) << ::GetLastError();

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedLength = 0;
    ASSERT_TRUE(::VerQueryValueW(resource.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedLength));
    ASSERT_GE(fixedLength, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, versionHigh);
    EXPECT_EQ(fixed->dwFileVersionLS, versionLow);
    EXPECT_EQ(fixed->dwProductVersionMS, versionHigh);
    EXPECT_EQ(fixed->dwProductVersionLS, versionLow);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    // The language and code page the string block is looked up by.
    WORD* translation = nullptr;
    UINT translationLength = 0;
    ASSERT_TRUE(::VerQueryValueW(resource.data(), L"\\VarFileInfo\\Translation",
                                 reinterpret_cast<void**>(&translation), &translationLength));
    ASSERT_EQ(translationLength, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);

    EXPECT_EQ(StringValue(resource, L"FileVersion"), Wide(kVersion));
    EXPECT_EQ(StringValue(resource, L"ProductVersion"), Wide(kVersion));
    EXPECT_EQ(StringValue(resource, L"ProductName"), Wide(VARROWMERE_EXPECTED_PRODUCT_NAME));
    EXPECT_EQ(StringValue(resource, L"OriginalFilename"), program);
    const std::wstring description = StringValue(resource, L"FileDescription");
    EXPECT_NE(description, L"<missing>");
    EXPECT_FALSE(description.empty());
  }
}

TEST(ProgramVersion, LoggerVersionOptionPrintsTheProjectVersion) {
  const std::string expected =
      "varrowmere-logger " + kVersion + (sizeof(void*) == 4 ? " (32-bit)\n" : " (64-bit)\n");
  for (const wchar_t* option : {L"--version", L"-V"}) {
    const ChildResult run = RunChild(L"\"" + ProgramBesideMe(L"varrowmere-logger.exe") + L"\" " + option);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
