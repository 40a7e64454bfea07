#include "report/component_versions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "report/report_environment.h"
#include "support/capturing_sink.h"
#include "support/child_process.h"
#include "support/machine_key.h"

namespace {

using Texts = std::vector<std::wstring>;

std::wstring Expanded(const wchar_t* text) {
  wchar_t expanded[MAX_PATH] = {};
  ::ExpandEnvironmentStringsW(text, expanded, MAX_PATH);
  return expanded;
}

std::wstring VersionText(const FileVersion& v) {
  return std::to_wstring(v.major) + L"." + std::to_wstring(v.minor) + L"." + std::to_wstring(v.build) + L"." +
         std::to_wstring(v.revision);
}

TEST(ExpandPath, ExpandsReferencesAndMakesDotPathsAbsolute) {
  wchar_t current[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, current);
  std::wstring below = current;
  if (below.back() != L'\\') below += L'\\';
  const struct {
    const wchar_t* source;
    bool expanded;
    std::wstring output;
  } cases[] = {
      {L"%SystemRoot%\\system32\\wsock32.dll", true, Expanded(L"%SystemRoot%") + L"\\system32\\wsock32.dll"},
      {L".\\logs\\trace.txt", true, below + L"logs\\trace.txt"},
      {L"C:\\plain\\path.dll", true, L"C:\\plain\\path.dll"},
      {L"%NoSuchVariableHere%\\x.dll", true, L"%NoSuchVariableHere%\\x.dll"},
      {L"", false, L""},
  };
  for (const auto& c : cases) {
    wchar_t output[MAX_PATH] = L"untouched";
    EXPECT_EQ(ExpandPath(c.source, output, MAX_PATH), c.expanded) << testing::PrintToString(std::wstring(c.source));
    EXPECT_EQ(output, c.output);
  }
  wchar_t output[8] = L"old";
  EXPECT_FALSE(ExpandPath(nullptr, output, 8));
  EXPECT_STREQ(output, L"");
}

TEST(GetModuleFileVersion, ReadsTheVersionOfAPathAModuleOrAnExpandablePath) {
  const std::wstring system = Expanded(L"%SystemRoot%\\system32\\");
  FileVersion byPath;
  ASSERT_TRUE(GetModuleFileVersion((system + L"kernel32.dll").c_str(), &byPath));
  EXPECT_NE(byPath.major, 0u);

  // A loaded module by its name alone, and a path with a reference in it, reach the
  // same file.
  FileVersion byModule;
  EXPECT_TRUE(GetModuleFileVersion(L"kernel32.dll", &byModule));
  EXPECT_EQ(VersionText(byModule), VersionText(byPath));
  FileVersion byReference;
  EXPECT_TRUE(GetModuleFileVersion(L"%SystemRoot%\\system32\\kernel32.dll", &byReference));
  EXPECT_EQ(VersionText(byReference), VersionText(byPath));

  // Our own programs carry no version resource.
  FileVersion none{1, 2, 3, 4};
  EXPECT_FALSE(GetModuleFileVersion(ProgramBesideMe(L"report_tests.exe").c_str(), &none));
  EXPECT_EQ(VersionText(none), L"0.0.0.0");
  EXPECT_FALSE(GetModuleFileVersion(L"%SystemRoot%\\no-such-file.dll", &none));
  EXPECT_FALSE(GetModuleFileVersion(L"", &none));
}

TEST(ToUpperInCodePage, UpperCasesEveryCharacter) {
  const struct {
    const wchar_t* input;
    const wchar_t* upper;
  } cases[] = {
      {L"sqlncli10", L"SQLNCLI10"},
      {L"SQLOLEDB", L"SQLOLEDB"},
      {L"Provider \u00e9t\u00e9 \u00fc", L"PROVIDER \u00c9T\u00c9 \u00dc"},
      {L"", L""},
  };
  for (const auto& c : cases) {
    std::wstring output = L"old";
    ToUpperInCodePage(output, c.input, -1);
    EXPECT_EQ(output, c.upper);
  }
  std::wstring output;
  ToUpperInCodePage(output, L"abc", 1252);
  EXPECT_EQ(output, L"ABC");
  EXPECT_THROW(ToUpperInCodePage(output, L"abc", 12345), std::runtime_error);
}

std::vector<SinkLine> RunStep(void (ReportEnvironment::*step)()) {
  ReportEnvironment report(&CapturingSink);
  TakeCapturedLines();
  (report.*step)();
  return TakeCapturedLines();
}

TEST(ReportTcpIpProvider, ReportsTheProviderFileVersionOrThatItIsMissing) {
  const std::wstring wsock = Expanded(L"%SystemRoot%\\system32\\wsock32.dll");
  FileVersion version;
  ASSERT_TRUE(GetModuleFileVersion(wsock.c_str(), &version));
  const Texts unable = {L"[ENV] Unable to find TCP/IP provider (Winsock) file or read its version information"};

  // Wine's prefix has no provider key; here it has one without the path.
  TestMachineKey provider(L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\ServiceProvider");
  ASSERT_TRUE(provider.created());
  EXPECT_EQ(TextsOf(RunStep(&ReportEnvironment::ReportTcpIpProvider)), unable);
  // Stored as the system stores it: an expandable string, expanded when read.
  ASSERT_TRUE(provider.SetText(nullptr, L"ProviderPath", L"%SystemRoot%\\system32\\wsock32.dll", REG_EXPAND_SZ));
  EXPECT_EQ(TextsOf(RunStep(&ReportEnvironment::ReportTcpIpProvider)),
            Texts{L"[ENV] TCP/IP provider (Winsock) File Version: " + VersionText(version) + L" (" + wsock + L")"});

  ASSERT_TRUE(provider.SetText(nullptr, L"ProviderPath", L"%SystemRoot%\\system32\\no-such-file.dll", REG_EXPAND_SZ));
  EXPECT_EQ(TextsOf(RunStep(&ReportEnvironment::ReportTcpIpProvider)), unable);
}

// The catalog the Winsock parameters name, written for the test; the parameters key is
// Wine's own, so only the value naming the catalog is added to it, and removed again.
class TestWinsockCatalog {
 public:
  static constexpr const wchar_t* kParameters = L"SYSTEM\\CurrentControlSet\\Services\\Winsock2\\Parameters";
  static constexpr const wchar_t* kName = L"VarrowmereTestCatalog";

  TestWinsockCatalog() : catalog_(std::wstring(kParameters) + L"\\" + kName) {
    HKEY key = nullptr;
    if (!catalog_.created() ||
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
      return;
    }
    parameters_.reset(key);
    // A catalog the prefix names itself is not ours to replace.
    if (::RegQueryValueExW(key, L"Current_NameSpace_Catalog", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
      parameters_.reset();
      return;
    }
    named_ = ::RegSetValueExW(key, L"Current_NameSpace_Catalog", 0, REG_SZ, reinterpret_cast<const BYTE*>(kName),
                              static_cast<DWORD>((std::wcslen(kName) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  ~TestWinsockCatalog() {
    if (named_) ::RegDeleteValueW(parameters_.get(), L"Current_NameSpace_Catalog");
  }

  bool ready() const { return named_; }
  bool AddEntry(int number, const wchar_t* displayString, const wchar_t* libraryPath) {
    wchar_t entry[64] = {};
    std::swprintf(entry, 64, L"Catalog_Entries\\%012d", number);
    return catalog_.SetText(entry, L"DisplayString", displayString) &&
           (libraryPath == nullptr || catalog_.SetText(entry, L"LibraryPath", libraryPath, REG_EXPAND_SZ));
  }

 private:
  TestMachineKey catalog_;
  UniqueRegistryKey parameters_;
  bool named_ = false;
};

TEST(ReportWinsockCatalog, ReportsTheFirstFiftyEntriesThatNameTheirLibrary) {
  TestWinsockCatalog catalog;
  ASSERT_TRUE(catalog.ready());
  // Every third entry has a library with a version, the next one a missing library, the
  // next no library at all.
  for (int n = 0; n < 60; ++n) {
    const std::wstring display = L"entry " + std::to_wstring(n);
    const wchar_t* library = n % 3 == 0   ? L"%SystemRoot%\\system32\\wsock32.dll"
                             : n % 3 == 1 ? L"%SystemRoot%\\system32\\no-such-provider.dll"
                                          : nullptr;
    ASSERT_TRUE(catalog.AddEntry(n, display.c_str(), library));
  }
  const std::wstring wsock = Expanded(L"%SystemRoot%\\system32\\wsock32.dll");
  FileVersion version;
  ASSERT_TRUE(GetModuleFileVersion(wsock.c_str(), &version));

  const Texts lines = TextsOf(RunStep(&ReportEnvironment::ReportWinsockCatalog));
  ASSERT_EQ(lines.size(), 34u);  // entries 0 to 49, less the 16 without a library
  EXPECT_EQ(lines[0], L"[ENV] Winsock2 file: entry 0, Version: " + VersionText(version) + L" (" + wsock + L")");
  EXPECT_EQ(lines[1], L"[ENV] Winsock2 file: entry 1 (" + Expanded(L"%SystemRoot%") +
                          L"\\system32\\no-such-provider.dll)");
  EXPECT_EQ(lines[2].rfind(L"[ENV] Winsock2 file: entry 3, Version: ", 0), 0u);
  EXPECT_EQ(lines.back().rfind(L"[ENV] Winsock2 file: entry 49 (", 0), 0u);
}

}  // namespace
