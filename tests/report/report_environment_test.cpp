#include "report/report_environment.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/capturing_sink.h"
#include "support/com_thread.h"
#include "support/test_enumerator.h"

namespace {

using Texts = std::vector<std::wstring>;

std::vector<SinkLine> RunReport(ReportEnvironment& report) {
  TakeCapturedLines();
  report.ReportEnvironmentVersions();
  return TakeCapturedLines();
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

bool Matches(const std::wstring& text, const char* pattern) {
  return std::regex_match(Narrow(text), std::regex(pattern));
}

TEST(ReportEnvironmentTest, ReportOpensWithTheProcessAndHostFacts) {
  ReportEnvironment report(&CapturingSink);
  const std::vector<SinkLine> lines = RunReport(report);
  ASSERT_GE(lines.size(), 4u);
  for (std::size_t n = 0; n < 4; ++n) {
    EXPECT_EQ(lines[n].level, 3);
    EXPECT_EQ(lines[n].function, "ReportEnvironment::ReportEnvironmentVersions");
    EXPECT_EQ(lines[n].blockMarker, 51u);
    EXPECT_TRUE(lines[n].otherArgumentsZero);
  }

  wchar_t image[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, image, MAX_PATH);
  EXPECT_EQ(lines[0].text, L"[ENV] Current Process: " + std::wstring(image));
  // The account is domain\user, joined by exactly one backslash.
  EXPECT_TRUE(Matches(lines[1].text,
                      R"(\[ENV\] Current Process logged on as: [^\\]+\\[^\\]+, Start Time: [A-Z][a-z]{2} \d\d \d{4} )"
                      R"(\d\d:\d\d:\d\d, Uptime \(seconds\): \d+)"))
      << Narrow(lines[1].text);
  EXPECT_EQ(lines[2].text, L"[ENV] Current Process id: " + std::to_wstring(::GetCurrentProcessId()));
  EXPECT_TRUE(Matches(lines[3].text,
                      R"(\[ENV\] Computer Host Name: .+, OS Version: \d+\.\d+, Build number \d+, )"
                      R"(ServicePack Major \d+, ServicePack Minor \d+)"))
      << Narrow(lines[3].text);
}

// The sections of the report in their order, each known by the lines it may write.
constexpr const char* kSections[] = {
    R"(\[ENV\] Current Process.*)",
    R"(\[ENV\] Computer Host Name: .*)",
    R"(\[ENV\] Processor (Identifier|Vendor Identifier|Name String|Speed): .*)",
    R"(\[ENV\] Number of Processors: \d+)",
    R"(\[ENV\] (\d+ percent of memory in use\.|(Total size|Size) of .* KB))",
    R"(\[ENV\] Total HD bytes: \d+, Total free bytes = \d+)",
    R"(\[ENV\] (Error|Exception) occurred while collecting performance data .*|\[ENV\] System up time: .*|)"
    R"(\[ENV\] Could not get System up time information\. \[-?\d+\])",
    R"(\[ENV\] Local Time Zone: .* \(GMT[-+]\d\d:\d\d\))",
    R"(\[ENV\] (TCP/IP provider \(Winsock\) File Version: .*|Unable to find TCP/IP provider .*))",
    R"(\[ENV\] (Local machine IP Address = .*|HOSTINFO_ERROR : .*|Unable to provide HostName ))",
    R"(\[ENV\] Winsock2 file: .*)",
    R"(\[ENV\] (Microsoft XML Parser .*|Unable to find Microsoft XML Parser Version information))",
    R"(\[ENV\] (SQLCLI|MSSQL OLEDB) provider is available: \[.*\]|CoInitialize has not been called\. .*|)"
    R"(An error occurred during enumerating OLE DB providers.*|Cannot get list of OLE DB providers .*)",
    R"(\[ENV\] MDAC version: .*)",
    R"(\[ENV\] (MSADO15\.DLL: .*|Unable to find MSADO15\.DLL Version information))",
    R"(\[ENV\] Running Process: .*, ID: \d+|Failed to .*|\[ENV\] Could (Not|not) .*)",
};
constexpr std::size_t kSectionCount = std::size(kSections);
// What Wine's prefix lacks: a Winsock 2 catalog named in its parameters, and the
// data-access components' version.
constexpr std::size_t kWinsockCatalog = 10;
constexpr std::size_t kProviders = 12;
constexpr std::size_t kDataAccess = 13;

TEST(ReportEnvironmentTest, EverySectionComesInItsOrderWithWinesAnswers) {
  ReportEnvironment report(&CapturingSink);
  const std::vector<SinkLine> lines = RunReport(report);

  std::vector<bool> seen(kSectionCount, false);
  std::size_t section = 0;
  for (const SinkLine& line : lines) {
    const std::size_t from = section;
    while (section < kSectionCount && !Matches(line.text, kSections[section])) ++section;
    ASSERT_LT(section, kSectionCount) << "out of order or unknown after section " << from << ": "
                                      << Narrow(line.text);
    seen[section] = true;
  }
  for (std::size_t n = 0; n < kSectionCount; ++n) {
    if (n == kWinsockCatalog || n == kDataAccess) continue;
    EXPECT_TRUE(seen[n]) << "missing section: " << kSections[n];
  }

  const Texts texts = TextsOf(lines);
  const auto has = [&texts](const std::wstring& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  };
  // Wine's performance data is a bare header.
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::wstring& text) {
    return Matches(text, R"(\[ENV\] Error occurred while collecting performance data from the registry for System )"
                         R"(uptime \(HeaderLength = (\d+), TotalByteLength = \1\))");
  }));
  EXPECT_TRUE(has(L"[ENV] Could not get System up time information. [-1]"));
  // This thread has no COM. The enumeration's lines carry a capture block of their own.
  const auto notInitialised = std::find_if(lines.begin(), lines.end(), [](const SinkLine& line) {
    return line.text == L"CoInitialize has not been called. [-2147221008]";
  });
  ASSERT_NE(notInitialised, lines.end());
  EXPECT_EQ(notInitialised->blockMarker, 51u);
  EXPECT_NE(notInitialised->block, ReportCaptureBlock());
  EXPECT_EQ(lines[0].block, ReportCaptureBlock());
  wchar_t image[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, image, MAX_PATH);
  EXPECT_TRUE(has(L"[ENV] Running Process: " + std::wstring(std::wcsrchr(image, L'\\') + 1) + L", ID: " +
                  std::to_wstring(::GetCurrentProcessId())));
}

std::vector<std::wstring> ResolvedAddressLines() {
  std::vector<std::wstring> lines;
  WSADATA data;
  if (::WSAStartup(MAKEWORD(1, 1), &data) != 0) return lines;
  char host[256] = {};
  if (::gethostname(host, 255) == 0) {
    if (const hostent* entry = ::gethostbyname(host)) {
      for (char** address = entry->h_addr_list; *address != nullptr; ++address) {
        in_addr ipv4;
        std::memcpy(&ipv4, *address, sizeof(ipv4));
        const std::string dotted = ::inet_ntoa(ipv4);
        lines.push_back(L"[ENV] Local machine IP Address = " + std::wstring(dotted.begin(), dotted.end()));
      }
    }
  }
  ::WSACleanup();
  return lines;
}

TEST(ReportEnvironmentTest, AddressesComeInResolverOrderWithoutTheProcessStartingWinsock) {
  const std::vector<std::wstring> expected = ResolvedAddressLines();
  ASSERT_FALSE(expected.empty());

  ReportEnvironment report(&CapturingSink);
  std::vector<std::wstring> got;
  for (const SinkLine& line : RunReport(report)) {
    if (line.text.rfind(L"[ENV] Local machine IP Address = ", 0) == 0) got.push_back(line.text);
  }
  EXPECT_EQ(got, expected);

  // The report ended the socket library it started.
  char host[256] = {};
  if (::gethostname(host, 255) == 0) {
    EXPECT_EQ(::gethostbyname(host), nullptr);
    EXPECT_EQ(::WSAGetLastError(), WSANOTINITIALISED);
  }
}

TEST(ReportEnvironmentTest, ProviderLinesNameTheSqlServerProvidersTheEnumeratorKnows) {
  const TestEnumeratorRegistration server({L"sqlncli10", L"SQLNCLI10 Enumerator", L"MSDASQL", L"SQLOLEDB"});
  ASSERT_TRUE(server.registered());
  std::vector<SinkLine> lines;
  // Enumeration needs a thread that has initialised COM.
  OnFreshThread([&lines] {
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ReportEnvironment report(&CapturingSink);
    lines = RunReport(report);
    ::CoUninitialize();
  });
  Texts providerLines;
  for (const SinkLine& line : lines) {
    if (Matches(line.text, kSections[kProviders])) providerLines.push_back(line.text);
  }
  EXPECT_EQ(providerLines, (Texts{L"[ENV] SQLCLI provider is available: [SQLNCLI10]",
                                  L"[ENV] MSSQL OLEDB provider is available: [SQLOLEDB]"}));
}

TEST(ReportEnvironmentTest, StartTimeIsTheSameInEveryReport) {
  ReportEnvironment report(&CapturingSink);
  const auto startOf = [](const std::vector<SinkLine>& lines) {
    const std::wstring& line = lines.at(1).text;
    const std::size_t from = line.find(L"Start Time: ");
    return line.substr(from, line.find(L", Uptime") - from);
  };
  const std::wstring first = startOf(RunReport(report));
  EXPECT_EQ(startOf(RunReport(report)), first);
}

TEST(ReportEnvironmentTest, InvalidSinkSilencesTheWholeReport) {
  static int notCode = 0;
  TakeCapturedLines();
  ReportEnvironment nullSink(nullptr);
  nullSink.ReportEnvironmentVersions();  // must not call through null
  ReportEnvironment dataSink(reinterpret_cast<ReportLineSink>(&notCode));
  dataSink.ReportEnvironmentVersions();  // must not call into data
  EXPECT_TRUE(TakeCapturedLines().empty());
}

}  // namespace
