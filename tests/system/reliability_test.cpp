// varrowmere-logger under load, killed, and starved of its console reader: every record
// reaches the file whole, once and in order per thread, and memory stays bounded.

#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/crlf_lines.h"
#include "support/long_run.h"
#include "support/scratch_folder.h"
#include "system/record_lines.h"
#include "win32/unique_resource.h"

namespace {

std::wstring Logger(const std::wstring& arguments) {
  return L"\"" + ProgramBesideMe(L"varrowmere-logger.exe") + L"\" --no-event-log --no-report " + arguments;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// ---- Load ----

TEST(HostUnderLoad, EveryRecordReachesTheFileOnceAndInOrderPerThread) {
  const long long perThread = LongTestRun() ? 250000 : 25000;
  constexpr int kThreads = 4;
  const struct {
    const char* name;
    const wchar_t* options;
  } cases[] = {
      {"file only", L""},
      // The console cannot keep up, so the queue passes its limit and only the file is
      // served until it drains below half.
      {"console on, queue limit 1000", L"--console --queue-limit 1000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder(L"vload-");
    const std::wstring path = folder / L"load.txt";
    const ChildResult run = RunChild(Logger(L"--max-size 0 --count " + std::to_wstring(perThread) + L" --threads " +
                                            std::to_wstring(kThreads) + L" --file " + Quoted(path) + L" " + c.options),
                                     {}, LongTestRun() ? 1800000 : 300000);
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    std::printf("%s: %s", c.name, run.err.c_str());

    RecordTally file(kThreads, true);
    file.Lines(ReadFileBytes(path), kFileHead);
    EXPECT_EQ(file.faults(), std::vector<std::string>{});
    EXPECT_EQ(file.records(), perThread * kThreads);
    EXPECT_TRUE(file.Complete(perThread));

    if (!run.out.empty()) {
      RecordTally console(kThreads, false);
      console.Lines(run.out, kConsoleHead);
      EXPECT_EQ(console.faults(), std::vector<std::string>{});
      ASSERT_TRUE(console.Saw("EVENT=DebugLog_Max_Event_Queue_Exceeded")) << "the load must overflow the queue";
      EXPECT_LT(console.records(), file.records()) << "records were left out of the console while it overflowed";
      EXPECT_GT(console.RecordsAfter("EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled"), 0)
          << "the console resumes below half the limit\n" << Joined(console.diagnostics());
      EXPECT_TRUE(file.Saw("EVENT=DebugLog_Max_Event_Queue_Exceeded"));
    }
  }
}

// ---- Killed ----

std::int64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return static_cast<std::int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// Four producers outpace the logger thread, so it writes its lines in full batches of
// hundreds of lines: the kill comes while one is written, or waits to be.
TEST(HostKilled, LeavesWholeLinesAndTheNextRunContinuesAfterThem) {
  const struct {
    const char* name;
    const wchar_t* sizeOption;
    std::int64_t killAtSize;  // bytes the file holds before the kill
  } cases[] = {
      {"no size limit", L"--max-size 0", 2000000},
      // Wrapped many times: the newest writing lies in the middle of the file.
      {"wrapping at 100000 bytes", L"--max-size 100000", 100000},
      // Smaller than a batch: every batch ends at the wrap and the rest starts the next.
      {"wrapping at 40000 bytes, less than a batch", L"--max-size 40000", 40000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder(L"vkill-");
    const std::wstring path = folder / L"killed.txt";
    const std::wstring options = std::wstring(c.sizeOption) + L" --file " + Quoted(path);
    {
      RunningChild host(Logger(options + L" --count 100000000 --threads 4"));
      ASSERT_TRUE(host.started());
      const ULONGLONG deadline = ::GetTickCount64() + 60000;
      while (FileSize(path) < c.killAtSize && ::GetTickCount64() < deadline && !host.Exited()) ::Sleep(10);
      ::Sleep(300);  // several more wraps
      UniqueHandle victim(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, host.processId()));
      ASSERT_TRUE(victim);
      ASSERT_TRUE(::TerminateProcess(victim.get(), 9));
      ASSERT_EQ(::WaitForSingleObject(victim.get(), 10000), WAIT_OBJECT_0);
    }
    const std::string killed = ReadFileBytes(path);
    ASSERT_GE(static_cast<std::int64_t>(killed.size()), c.killAtSize);
    // With a size limit the newest writing ends at the marker; older lines, the first of
    // them partly overwritten, follow it. Without one it ends the file.
    const std::size_t markerAt = killed.find(kMarker);
    const std::size_t newestEnd = markerAt == std::string::npos ? killed.size() : markerAt;
    RecordTally tally(4, false);
    tally.Lines(std::string_view(killed).substr(0, newestEnd), kFileHead);
    EXPECT_EQ(tally.faults(), std::vector<std::string>{});
    // Records before the marker, unless the kill came after a wrap and before the batch
    // that follows it was written (the newest lines then end where the wrap began).
    EXPECT_TRUE(tally.records() > 0 || markerAt == 0);
    if (c.sizeOption == std::wstring(L"--max-size 0")) {
      EXPECT_EQ(markerAt, std::string::npos);
    } else {
      ASSERT_NE(markerAt, std::string::npos) << "the newest line is marked while the file is written";
      EXPECT_LT(markerAt + kMarker.size() + 2, killed.size()) << "the file wrapped: older lines follow the marker";
    }

    const ChildResult next = RunChild(Logger(options + L" \"after the kill\""));
    ASSERT_EQ(next.exitCode, 0u) << next.err;
    const std::string continued = ReadFileBytes(path);
    EXPECT_EQ(continued.substr(0, newestEnd), killed.substr(0, newestEnd)) << "what the killed run wrote stays";
    const std::string_view rest = std::string_view(continued).substr(newestEnd);
    std::string_view message;
    ASSERT_TRUE(MessageOf(rest.substr(0, rest.find("\r\n")), kFileHead, &message)) << rest.substr(0, 200);
    EXPECT_EQ(message.substr(0, 14), "Current Date: ") << "the next run starts right after the newest line";
    const std::string closing = markerAt == std::string::npos ? "} after the kill\r\n"
                                                              : "} after the kill\r\n====== END OF LOG ======\r\n";
    EXPECT_NE(rest.find(closing), std::string::npos);
  }
}

// ---- Memory ----

std::size_t PeakWorkingSet(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  return ::GetProcessMemoryInfo(process, &counters, sizeof(counters)) ? counters.PeakWorkingSetSize : 0;
}

struct StalledRun {
  std::size_t peakBytes = 0;
  std::vector<std::string> lines;  // the console's, once the reader resumed
  bool finished = false;
};

// Pipes `input` into the host's --stdin and reads nothing of its console output for
// `stallMs`, then everything; the peak working set is sampled while it runs.
StalledRun RunWithStalledReader(const std::wstring& options, const std::string& input, DWORD stallMs) {
  StalledRun result;
  RunningChild host(Logger(L"--console --stdin " + options));
  if (!host.started()) return result;
  std::thread writer([&] {
    host.WriteInput(input);
    host.CloseInput();
  });
  const ULONGLONG resume = ::GetTickCount64() + stallMs;
  while (::GetTickCount64() < resume) {
    result.peakBytes = std::max(result.peakBytes, PeakWorkingSet(host.process()));
    ::Sleep(20);
  }
  const ULONGLONG deadline = ::GetTickCount64() + 600000;
  while (!host.Exited() && ::GetTickCount64() < deadline) {
    result.peakBytes = std::max(result.peakBytes, PeakWorkingSet(host.process()));
    if (!host.TakeOutput()) ::Sleep(1);
  }
  const ChildResult finish = host.Finish(10000);
  writer.join();
  result.finished = finish.finished && finish.exitCode == 0;
  result.lines = CrLfLines(finish.out);
  return result;
}

TEST(HostMemory, AStalledConsoleReaderHoldsTheQueueAtItsBound) {
  const std::size_t bound = LongTestRun() ? 64u << 20 : 512u << 10;
  // Several times the bound in records, so that an unbounded queue would show.
  const int lines = LongTestRun() ? 2000000 : 20000;
  std::string input;
  for (int i = 0; i < lines; ++i) {
    char line[128];
    std::snprintf(line, sizeof(line), "line %07d %s\n", i, std::string(80, 'x').c_str());
    input += line;
  }
  const std::wstring options = L"--queue-bytes " + std::to_wstring(bound);
  // The same host with a reader that keeps up shows the overhead of the process itself.
  const StalledRun baseline = RunWithStalledReader(options, input.substr(0, input.size() / lines * 1000), 0);
  ASSERT_TRUE(baseline.finished);
  const StalledRun stalled = RunWithStalledReader(options, input, LongTestRun() ? 10000 : 1000);
  ASSERT_TRUE(stalled.finished);
  std::printf("peak working set: %lu KiB with a reader that keeps up, %lu KiB stalled, bound %lu KiB\n",
              static_cast<unsigned long>(baseline.peakBytes >> 10), static_cast<unsigned long>(stalled.peakBytes >> 10),
              static_cast<unsigned long>(bound >> 10));
  ASSERT_GT(baseline.peakBytes, 0u);
  // The queue's count of its bytes leaves out the allocator's own overhead per block. An
  // unbounded queue takes all the input in during the stall, several times this.
  EXPECT_LT(stalled.peakBytes, baseline.peakBytes + 2 * bound + (2u << 20));

  ASSERT_EQ(stalled.lines.size(), static_cast<std::size_t>(lines));
  for (int i = 0; i < lines; ++i) {
    char expected[32];
    std::snprintf(expected, sizeof(expected), "} line %07d x", i);
    ASSERT_NE(stalled.lines[static_cast<std::size_t>(i)].find(expected), std::string::npos)
        << "line " << i << ": " << stalled.lines[static_cast<std::size_t>(i)];
  }
}

}  // namespace

namespace {

// ---- Hostile text ----

std::string Utf8(const std::wstring& text) {
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr, nullptr);
  return out;
}

std::string InCodePage(UINT codePage, const std::wstring& text) {
  if (codePage == CP_UTF8) return Utf8(text);
  const int bytes = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, "?", nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, "?", nullptr);
  return out;
}

std::wstring Escaped(const std::wstring& text) {
  std::wstring out;
  for (const wchar_t c : text) out += c == L'\r' ? L"#015" : (c == L'\n' ? std::wstring(L"#012") : std::wstring(1, c));
  return out;
}

// A text arrives whole, or (a long one) cut at about 1023 characters: its head unchanged.
void ExpectWholeOrCut(const std::string& got, const std::string& sent) {
  if (got.size() >= sent.size()) {
    EXPECT_EQ(got, sent);
    return;
  }
  EXPECT_EQ(got, sent.substr(0, got.size())) << "cut, not changed";
  EXPECT_GE(got.size(), 900u) << "cut at the formatting limit, not before";
}

// Texts that try to break a line, forge one or get lost: line breaks with a forged record
// after them, control and high bytes, a line of 10,000 characters, and characters outside
// the ANSI code page (one of them outside the 16-bit range).
const std::wstring kHostileTexts[] = {
    L"cr\rlf\nboth\r\n[30000] (01/01 00:00:00.000):{0x1} forged",
    L"bin \x01\x07\x1b[31m\x7f\x80\xff end",
    L"long " + std::wstring(10000, L'y'),
    L"ru \x041F\x0440\x0438 zh \x4E2D\x6587 emoji \xD83D\xDE00 end",
};

// Every record is one whole line on the console and in the file, in each encoding, with
// its line breaks escaped and nothing else changed but the file's 1023-character cut.
TEST(HostHostileText, EachRecordIsOneWholeLineInTheFileAndOnTheConsole) {
  std::wstring arguments;
  for (const std::wstring& text : kHostileTexts) arguments += L" " + Quoted(text);
  for (const bool withUser : {false, true}) {
    for (const int encoding : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "encoding " << encoding << (withUser ? ", user text" : ""));
      ScratchFolder folder(L"vhostile-");
      const std::wstring path = folder / L"hostile.txt";
      const std::wstring user = L"us\r\ner";
      const ChildResult run = RunChild(Logger(L"--console --max-size 0 --encoding " + std::to_wstring(encoding) +
                                              L" --file " + Quoted(path) + (withUser ? L" --user " + Quoted(user) : L"") +
                                              arguments));
      ASSERT_EQ(run.exitCode, 0u) << run.err;

      std::vector<std::string> fileMessages;
      std::string bytes = ReadFileBytes(path);
      if (encoding == 1) bytes = bytes.substr(std::string("\xEF\xBB\xBFUTF-8 encoded\r\n").size());
      for (const std::string& line : CrLfLines(bytes)) {
        std::string_view message;
        ASSERT_TRUE(MessageOf(line, kFileHead, &message)) << line.substr(0, 200);
        if (message.rfind("Current Date: ", 0) != 0 && message.rfind("[DIAG] ", 0) != 0) {
          fileMessages.emplace_back(message);
        }
      }
      std::vector<std::string> consoleMessages;
      for (const std::string& line : CrLfLines(run.out)) {
        std::string_view message;
        ASSERT_TRUE(MessageOf(line, kConsoleHead, &message)) << line.substr(0, 200);
        consoleMessages.emplace_back(message);
      }
      ASSERT_EQ(fileMessages.size(), std::size(kHostileTexts));
      ASSERT_EQ(consoleMessages.size(), std::size(kHostileTexts));
      for (std::size_t i = 0; i < std::size(kHostileTexts); ++i) {
        SCOPED_TRACE(i);
        const std::wstring message = Escaped(kHostileTexts[i]);
        ExpectWholeOrCut(consoleMessages[i], InCodePage(::GetACP(), message));
        const std::wstring fileText = (withUser ? L"{" + Escaped(user) + L"} " : L"") + message;
        // One byte per character, "?" for each one beyond ASCII; or UTF-8.
        std::string expected;
        for (const wchar_t c : fileText) expected += c < 0x80 ? static_cast<char>(c) : '?';
        if (encoding == 1) expected = Utf8(fileText);
        ExpectWholeOrCut(fileMessages[i], expected);
      }
    }
  }
}

}  // namespace
