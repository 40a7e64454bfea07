// varrowmere-logger run as users run it: a second process under Wine, its standard
// streams read back.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "logging/debug_file_output.h"
#include "support/child_process.h"
#include "support/crlf_lines.h"
#include "support/scratch_folder.h"
#include "system/logger_run.h"

namespace {

TEST(LoggerHost, MessagesReachTheConsoleInOrderWithTheirCode) {
  const ChildResult run = RunChild(Logger(L"--console \"first message\" second --level 2 --event-id 0x6FFF7531 third"));
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  std::vector<std::pair<std::string, std::string>> got;
  for (const std::string& line : CrLfLines(run.out)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, kConsoleLine)) << line;
    got.emplace_back(match[1], match[2]);
  }
  // The options apply to every message, wherever they stand on the line.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"30001", "first message"}, {"30001", "second"}, {"30001", "third"}};
  EXPECT_EQ(got, expected);
  std::smatch summary;
  ASSERT_TRUE(std::regex_match(run.err, summary, kSummary)) << run.err;
  EXPECT_EQ(summary[1], "3");
}

TEST(LoggerHost, StandardInputLinesBecomeRecordsKeepingNonAsciiText) {
  // UTF-8 input, as a Linux program would pipe it in.
  const ChildResult run = RunChild(Logger(L"--console --stdin"), "one\r\ntwo h\xc3\xa9llo world\nthree");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  std::vector<std::string> messages;
  for (const std::string& line : CrLfLines(run.out)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, kConsoleLine)) << line;
    messages.push_back(match[2]);
  }
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], "one");
  EXPECT_EQ(messages[1].substr(0, 5), "two h");
  EXPECT_EQ(messages[1].substr(messages[1].size() - 9), "llo world") << "the text after the accent survives";
  EXPECT_EQ(messages[2], "three");
}

TEST(LoggerHost, GeneratedRecordsFromSeveralThreadsAllArrive) {
  const ChildResult run = RunChild(Logger(L"--console --count 500 --threads 3"));
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  int records = 0;
  int registrations = 0;
  for (const std::string& line : CrLfLines(run.out)) {
    records += line.find("} record ") != std::string::npos;
    registrations += line.find("EVENT=Register_thread") != std::string::npos &&
                     line.find("THREADNAME=\"producer-") != std::string::npos;
  }
  EXPECT_EQ(records, 1500);
  EXPECT_EQ(registrations, 3) << "each producer thread registers its name";
  std::smatch summary;
  ASSERT_TRUE(std::regex_match(run.err, summary, kSummary)) << run.err;
  EXPECT_EQ(summary[1], "1500");
}

std::string Utf16(const std::string& ascii) {
  std::string bytes;
  for (const char c : ascii) bytes += std::string{c, '\0'};
  return bytes;
}

TEST(LoggerHost, DebugFileHeadsWithTheDateThreadAndEnvironmentLinesThenTheRecords) {
  ScratchFolder folder(L"vhost-");
  const std::wstring path = folder / L"logs\\trace.txt";
  const ChildResult run = RunChild(Logger(L"--file \"" + path + L"\" --level 2 first second"));
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  std::vector<std::string> lines = CrLfLines(ReadFileBytes(path));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "====== END OF LOG ======") << "the size limit is on by default";
  lines.pop_back();
  const std::regex fileLine(R"(\[(\d{5})\] \(\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}\):\{0x[0-9A-F]+\} (.*))");
  std::vector<std::string> messages;
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, fileLine)) << line;
    messages.push_back(match[2]);
  }
  ASSERT_GE(messages.size(), 5u);
  EXPECT_EQ(messages[0].substr(0, 14), "Current Date: ");
  EXPECT_EQ(messages[1], "[DIAG] EVENT=Thread_report, THREADID=" + messages[1].substr(37, messages[1].find(',', 37) - 37) +
                             ", THREADNAME=\"DebugLogger\"");
  EXPECT_EQ(messages[2].substr(0, 6), "[ENV] ");
  EXPECT_EQ(std::vector<std::string>(messages.end() - 2, messages.end()), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(lines.back().substr(1, 5), "20000") << "records of level 2 reach the file";

  // Between them, the whole snapshot of the host, section by section in the report's
  // order (with Wine's answers where it lacks what Windows has).
  const char* const sections[] = {
      "[ENV] Current Process: ",
      "[ENV] Current Process logged on as: ",
      "[ENV] Current Process id: ",
      "[ENV] Computer Host Name: ",
      "[ENV] Processor ",
      "[ENV] Number of Processors: ",
      "[ENV] Total HD bytes: ",
      "[ENV] Could not get System up time information. [-1]",  // Wine's bare performance data
      "[ENV] Local Time Zone: ",
      "[ENV] Unable to find TCP/IP provider",  // Wine keeps no provider entry
      "[ENV] Local machine IP Address = ",
      "[ENV] Microsoft XML Parser",
      "[ENV] Unable to find MSADO15.DLL Version information",
      "[ENV] Running Process: ",
  };
  std::size_t at = 0;
  for (const char* section : sections) {
    while (at < messages.size() && messages[at].rfind(section, 0) != 0) ++at;
    ASSERT_LT(at, messages.size()) << "missing, or out of order: " << section;
  }
  // The running processes include the logger itself, under the id it reported.
  const auto idLine = std::find_if(messages.begin(), messages.end(), [](const std::string& message) {
    return message.rfind("[ENV] Current Process id: ", 0) == 0;
  });
  ASSERT_NE(idLine, messages.end());
  const std::string self = "[ENV] Running Process: varrowmere-logger.exe, ID: " + idLine->substr(26);
  EXPECT_NE(std::find(messages.begin(), messages.end(), self), messages.end()) << self;
}

TEST(LoggerHost, StructuredDailyFileInUtf16WithoutTheReport) {
  ScratchFolder folder(L"vhost-");
  const ChildResult run = RunChild(Logger(L"--structured \"" + folder.path() +
                                          L"\" svc comp --instance 3 --daily --date-folders --encoding 2 --no-report rec"));
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  const LogFileDate today{now.wYear, now.wMonth, now.wDay};
  const StructuredNameParts parts{folder.path(), L"svc", LogHostName(), L"comp", 3, true, true};
  wchar_t name[kMaxLogFileNameChars + 1];
  ASSERT_TRUE(BuildStructuredFileName(parts, today, 1, name, std::size(name)));
  const std::string bytes = ReadFileBytes(name);
  EXPECT_EQ(bytes.substr(0, 2 + 36), "\xFF\xFE" + Utf16("UTF-16LE encoded\r\n"));
  EXPECT_EQ(bytes.find(Utf16("[ENV]")), std::string::npos);
  EXPECT_NE(bytes.find(Utf16("} rec\r\n")), std::string::npos);
}

}  // namespace

