#include "report/report_environment.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "logging/report_sink.h"

namespace {

struct SinkCall {
  int level;
  std::wstring text;
  std::string function;
  std::uint32_t blockMarker;
};

std::vector<SinkCall> g_calls;

int CollectingSink(int level, int a, int b, int c, const wchar_t* text, const char* function, int /*line*/,
                   void* block) {
  EXPECT_EQ(a | b | c, 0);
  g_calls.push_back({level, text != nullptr ? text : L"<null>", function != nullptr ? function : "",
                     block != nullptr ? *static_cast<const std::uint32_t*>(block) : 0u});
  return 1;
}

std::vector<SinkCall> RunReport(ReportEnvironment& report) {
  g_calls.clear();
  report.ReportEnvironmentVersions();
  return std::exchange(g_calls, {});
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

bool Matches(const std::wstring& text, const char* pattern) {
  return std::regex_match(Narrow(text), std::regex(pattern));
}

TEST(ReportEnvironmentTest, DriverLinesComeInOrderWithTheProcessFacts) {
  ReportEnvironment report(&CollectingSink);
  const std::vector<SinkCall> calls = RunReport(report);
  ASSERT_GE(calls.size(), 5u);
  for (const SinkCall& call : calls) {
    EXPECT_EQ(call.level, 3);
    EXPECT_EQ(call.function, "ReportEnvironment::ReportEnvironmentVersions");
    EXPECT_EQ(call.blockMarker, 51u);
  }

  wchar_t image[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, image, MAX_PATH);
  EXPECT_EQ(calls[0].text, L"[ENV] Current Process: " + std::wstring(image));
  // The account is domain\user, joined by exactly one backslash.
  EXPECT_TRUE(Matches(calls[1].text,
                      R"(\[ENV\] Current Process logged on as: [^\\]+\\[^\\]+, Start Time: [A-Z][a-z]{2} \d\d \d{4} )"
                      R"(\d\d:\d\d:\d\d, Uptime \(seconds\): \d+)"))
      << Narrow(calls[1].text);
  EXPECT_EQ(calls[2].text, L"[ENV] Current Process id: " + std::to_wstring(::GetCurrentProcessId()));
  EXPECT_TRUE(Matches(calls[3].text,
                      R"(\[ENV\] Computer Host Name: .+, OS Version: \d+\.\d+, Build number \d+, )"
                      R"(ServicePack Major \d+, ServicePack Minor \d+)"))
      << Narrow(calls[3].text);
  // This process never started the socket library: Windows refuses the host name itself,
  // Wine gives the name but refuses to resolve it.
  EXPECT_TRUE(calls[4].text == L"[ENV] Unable to provide HostName " ||
              Matches(calls[4].text, R"(\[ENV\] HOSTINFO_ERROR : .* \(10093\))"))
      << Narrow(calls[4].text);
}

TEST(ReportEnvironmentTest, AddressLinesFollowTheResolverOrder) {
  WSADATA data;
  ASSERT_EQ(::WSAStartup(MAKEWORD(1, 1), &data), 0);
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, 255), 0);
  std::vector<std::wstring> expected;
  if (const hostent* entry = ::gethostbyname(host)) {
    for (char** address = entry->h_addr_list; *address != nullptr; ++address) {
      in_addr ipv4;
      std::memcpy(&ipv4, *address, sizeof(ipv4));
      const std::string dotted = ::inet_ntoa(ipv4);
      expected.push_back(L"[ENV] Local machine IP Address = " + std::wstring(dotted.begin(), dotted.end()));
    }
  }
  ReportEnvironment report(&CollectingSink);
  const std::vector<SinkCall> calls = RunReport(report);
  ::WSACleanup();
  ASSERT_FALSE(expected.empty());
  std::vector<std::wstring> got;
  for (const SinkCall& call : calls) {
    if (call.text.rfind(L"[ENV] Local machine IP Address = ", 0) == 0) got.push_back(call.text);
  }
  EXPECT_EQ(got, expected);
}

TEST(ReportEnvironmentTest, StartTimeIsTheSameInEveryReport) {
  ReportEnvironment report(&CollectingSink);
  const auto startOf = [](const std::vector<SinkCall>& calls) {
    const std::wstring& line = calls.at(1).text;
    const std::size_t from = line.find(L"Start Time: ");
    return line.substr(from, line.find(L", Uptime") - from);
  };
  const std::wstring first = startOf(RunReport(report));
  EXPECT_EQ(startOf(RunReport(report)), first);
}

TEST(ReportEnvironmentTest, InvalidSinkSilencesTheWholeReport) {
  static int notCode = 0;
  ReportEnvironment nullSink(nullptr);
  nullSink.ReportEnvironmentVersions();  // must not call through null
  ReportEnvironment dataSink(reinterpret_cast<ReportLineSink>(&notCode));
  dataSink.ReportEnvironmentVersions();  // must not call into data
  EXPECT_TRUE(g_calls.empty());
}

}  // namespace
