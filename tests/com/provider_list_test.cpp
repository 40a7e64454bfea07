#include "com/provider_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/capturing_sink.h"
#include "support/com_thread.h"
#include "support/test_enumerator.h"

namespace {

using Names = std::vector<std::wstring>;

// The enumeration on a fresh thread that first joins `apartment` (or stays without COM
// for kNoApartment): the names, the lines written, and the thread's apartment after.
struct Enumeration {
  Names names;
  std::vector<SinkLine> lines;
  int apartmentAfter = kNoApartment;
  bool serverHoldsNothing = false;
};

Enumeration EnumerateOnThread(int apartment, ReportLineSink sink = &CapturingSink) {
  Enumeration result;
  TakeCapturedLines();
  OnFreshThread([&] {
    if (apartment != kNoApartment) {
      ASSERT_EQ(::CoInitializeEx(nullptr, apartment == APTTYPE_MTA ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED),
                S_OK);
    }
    result.names = provider_list(sink);
    result.apartmentAfter = ApartmentOfThisThread();
    result.serverHoldsNothing = TestEnumeratorRegistration::ServerHoldsNothing();
    if (apartment != kNoApartment) ::CoUninitialize();
  });
  result.lines = TakeCapturedLines();
  return result;
}

TEST(ProviderList, ThreadWithoutComGetsTheNotInitialisedLineAndNoNames) {
  const TestEnumeratorRegistration server({L"SQLOLEDB"});
  ASSERT_TRUE(server.registered());
  const Enumeration run = EnumerateOnThread(kNoApartment);
  EXPECT_TRUE(run.names.empty());
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0].text, L"CoInitialize has not been called. [-2147221008]");
  EXPECT_EQ(run.lines[0].level, 4);
  EXPECT_EQ(run.lines[0].function, "provider_list");
  EXPECT_TRUE(run.lines[0].otherArgumentsZero);
  EXPECT_EQ(run.lines[0].blockMarker, 51u);
  EXPECT_EQ(run.apartmentAfter, kNoApartment);
}

TEST(ProviderList, InitialisedThreadGetsEveryRowInOrderAndKeepsItsApartment) {
  const std::wstring longName(200, L'x');
  const Names rows = {L"SQLOLEDB", L"MSDASQL", L"SQLOLEDB", L"SQLNCLI10 Enumerator", longName};
  // A name longer than the row's column arrives cut to the column, as a provider cuts it.
  const Names expected = {L"SQLOLEDB", L"MSDASQL", L"SQLOLEDB", L"SQLNCLI10 Enumerator", longName.substr(0, 128)};
  const TestEnumeratorRegistration server(rows);
  ASSERT_TRUE(server.registered());

  const Enumeration multithreaded = EnumerateOnThread(APTTYPE_MTA);
  EXPECT_EQ(multithreaded.names, expected);
  EXPECT_TRUE(multithreaded.lines.empty());
  EXPECT_EQ(multithreaded.apartmentAfter, APTTYPE_MTA);
  EXPECT_TRUE(multithreaded.serverHoldsNothing) << "a row handle, accessor or object was not released";

  // A single-threaded apartment cannot join the multithreaded one for a moment; that is
  // said, and the enumeration runs in the thread's own apartment.
  const Enumeration singleThreaded = EnumerateOnThread(APTTYPE_STA);
  EXPECT_EQ(singleThreaded.names, expected);
  EXPECT_EQ(TextsOf(singleThreaded.lines),
            Names{L"An error occurred during enumerating OLE DB providers - failure during COM initialization. [0]"});
  EXPECT_EQ(singleThreaded.apartmentAfter, APTTYPE_STA);
  EXPECT_TRUE(singleThreaded.serverHoldsNothing);
}

TEST(ProviderList, EmptyRowsetGivesNoNamesAndNoLine) {
  const TestEnumeratorRegistration server({});
  ASSERT_TRUE(server.registered());
  const Enumeration run = EnumerateOnThread(APTTYPE_MTA);
  EXPECT_TRUE(run.names.empty());
  EXPECT_TRUE(run.lines.empty());
  EXPECT_TRUE(run.serverHoldsNothing);
}

TEST(ProviderList, EnumeratorThatCannotBeOpenedGivesItsResult) {
  {
    // Wine's own state: no enumerator registered.
    const Enumeration run = EnumerateOnThread(APTTYPE_MTA);
    EXPECT_TRUE(run.names.empty());
    EXPECT_EQ(TextsOf(run.lines),
              Names{L"An error occurred during enumerating OLE DB providers. [" +
                    std::to_wstring(static_cast<int>(REGDB_E_CLASSNOTREG)) + L"]"});
  }
  {
    TestEnumeratorRegistration server({L"SQLOLEDB"});
    ASSERT_TRUE(server.registered());
    server.FailGetSourcesRowset(E_ACCESSDENIED);
    const Enumeration run = EnumerateOnThread(APTTYPE_MTA);
    EXPECT_TRUE(run.names.empty());
    EXPECT_EQ(TextsOf(run.lines), Names{L"An error occurred during enumerating OLE DB providers. [" +
                                        std::to_wstring(static_cast<int>(E_ACCESSDENIED)) + L"]"});
    EXPECT_TRUE(run.serverHoldsNothing);
  }
}

TEST(ProviderList, InvalidSinkSilencesTheLinesButNotTheList) {
  const TestEnumeratorRegistration server({L"SQLOLEDB"});
  ASSERT_TRUE(server.registered());
  static int notCode = 0;
  EXPECT_EQ(EnumerateOnThread(APTTYPE_MTA, reinterpret_cast<ReportLineSink>(&notCode)).names, Names{L"SQLOLEDB"});
  EXPECT_TRUE(EnumerateOnThread(kNoApartment, nullptr).lines.empty());
}

}  // namespace
