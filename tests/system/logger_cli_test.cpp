// varrowmere-logger's conventions end to end under Wine: exit statuses and the streams
// each answer goes to, input lines from standard input and files, the settings key from
// the first record, the copy to standard error, the console's encoding on a pipe, and
// output that cannot be written.

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/crlf_lines.h"
#include "support/scratch_folder.h"
#include "support/scratch_key_test.h"
#include "system/logger_run.h"
#include "win32/unique_resource.h"

namespace {

struct ConsoleRecord {
  std::string code;
  std::string message;
  bool operator==(const ConsoleRecord&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ConsoleRecord& record) {
  return out << "[" << record.code << "] " << record.message;
}

// The records of console lines in a program's output; other lines are a failure.
std::vector<ConsoleRecord> ConsoleRecords(const std::string& output) {
  std::vector<ConsoleRecord> records;
  for (const std::string& line : CrLfLines(output)) {
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, kConsoleLine)) << line;
    if (!match.empty()) records.push_back({match[1], match[2]});
  }
  return records;
}

std::vector<std::string> Messages(const std::string& output) {
  std::vector<std::string> messages;
  for (const ConsoleRecord& record : ConsoleRecords(output)) messages.push_back(record.message);
  return messages;
}

struct Summary {
  long long records = -1;
  long long gated = -1;
  double seconds = -1;
};

// The summary at the end of standard error, after the copies of console lines.
Summary ReadSummary(const std::string& err) {
  Summary summary;
  const std::size_t at = err.find("summary: ");
  std::smatch match;
  const std::string tail = at == std::string::npos ? std::string() : err.substr(at, err.find('\n', at) + 1 - at);
  EXPECT_TRUE(std::regex_match(tail, match, kSummary)) << err;
  if (match.empty()) return summary;
  summary.records = std::stoll(match[1]);
  summary.gated = std::stoll(match[2]);
  summary.seconds = std::stod(match[3]);
  return summary;
}

// Text as the system converts it to a code page, with "?" for what the page lacks.
std::string Encoded(const std::wstring& text, UINT codePage) {
  std::string bytes(text.size() * 4, '\0');
  const int length = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                                           static_cast<int>(bytes.size()), codePage == CP_UTF8 ? nullptr : "?", nullptr);
  bytes.resize(static_cast<std::size_t>(length));
  return bytes;
}

TEST(LoggerCli, ExitStatusAndStreamOfEachAnswer) {
  const struct {
    const wchar_t* arguments;
    DWORD exitCode;
    const char* out;  // a pattern for the first line of standard output
    const char* err;  // a pattern for the whole of standard error
  } cases[] = {
      {L"--frobnicate x", 2, "", "varrowmere-logger: unknown option --frobnicate; try --help\n"},
      {L"x --count", 2, "", "varrowmere-logger: --count needs a value; try --help\n"},
      {L"--level abc x", 2, "", "varrowmere-logger: --level needs a decimal number, not \"abc\"; try --help\n"},
      {L"-p 16 x", 2, "", "varrowmere-logger: -p takes a number from 0 to 15, not \"16\"; try --help\n"},
      {L"--help", 0, R"(usage: varrowmere-logger \[options\] \[message \.\.\.\]\n)", ""},
      {L"-V", 0, R"(varrowmere-logger \d+\.\d+\.\d+ \((32|64)-bit\)\n)", ""},
      {L"-f no-such-file.txt", 1, "",
       R"(varrowmere-logger: no-such-file\.txt: CreateFileW Error: .+ \(2\)\n)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.out) + " | " + c.err);
    const ChildResult run = RunChild(Logger(c.arguments));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_TRUE(std::regex_match(run.out.substr(0, run.out.find('\n') + 1), std::regex(c.out))) << run.out;
    EXPECT_TRUE(std::regex_match(run.err, std::regex(c.err))) << run.err;
  }
}

TEST(LoggerCli, StandardInputKeepsNulCrLfEmptyAndUnendedLines) {
  // Read because there is no message; in UTF-8 on the pipe so U+FFFD shows as it is.
  const std::string input = std::string("before\0after", 12) + "\r\n\nsecond\r\n\r\nlast without line feed";
  const struct {
    const wchar_t* arguments;
    std::vector<std::string> messages;
    long long records;
  } cases[] = {
      {L"--console-encoding utf-8", {"before\xEF\xBF\xBD" "after", "", "second", "", "last without line feed"}, 5},
      {L"--console-encoding utf-8 -e", {"before\xEF\xBF\xBD" "after", "second", "last without line feed"}, 3},
  };
  for (const auto& c : cases) {
    const ChildResult run = RunChild(Logger(c.arguments), input);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(Messages(run.out), c.messages);
    EXPECT_EQ(ReadSummary(run.err).records, c.records);
  }
}

TEST(LoggerCli, ALongLineIsReadInLinearTimeAndCutWhereARecordEnds) {
  // The summary's seconds span the reading of standard input, not the program's start.
  double seconds[2] = {};
  const std::size_t megabytes[2] = {1, 16};
  for (int i = 0; i < 2; ++i) {
    std::string line(megabytes[i] << 20, 'x');
    line += "\n";
    const ChildResult run = RunChild(Logger(L"--no-event-log"), line, 120000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    const std::vector<std::string> messages = Messages(run.out);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], std::string(1023, 'x')) << "a record holds 1023 characters of text";
    seconds[i] = ReadSummary(run.err).seconds;
  }
  std::cout << "one line of 1 MB: " << seconds[0] << " s, of 16 MB: " << seconds[1] << " s\n";
  RecordProperty("seconds_1MB", std::to_string(seconds[0]));
  RecordProperty("seconds_16MB", std::to_string(seconds[1]));
  // Sixteen times the bytes in linear time: far below the 256 times a quadratic reading
  // takes, with room for a busy machine.
  EXPECT_LT(seconds[1], std::max(40 * seconds[0], 3.0));
}

TEST(LoggerCli, LinesOfAFileFollowTheMessagesAndStandardInputIsLeftAlone) {
  ScratchFolder folder(L"vcli-");
  const std::wstring path = folder / L"input.txt";
  {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    const std::string content = "\xEF\xBB\xBF" "one\r\n\r\ntwo\n";
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
  }
  const ChildResult run = RunChild(Logger(L"-ef \"" + path + L"\" first"), "from standard input\n");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(Messages(run.out), (std::vector<std::string>{"first", "one", "two"}));
}

class LoggerCliSettings : public ScratchKeyTest {
 public:
  LoggerCliSettings() : ScratchKeyTest(L"LoggerCli-") {}
};

TEST_F(LoggerCliSettings, KeyAppliesFromTheFirstRecordAndTheCommandLineOnTop) {
  const struct {
    const char* name;
    std::vector<std::pair<const wchar_t*, DWORD>> values;
    const wchar_t* arguments;
    std::vector<ConsoleRecord> records;
    long long gated;
  } cases[] = {
      // The command line names another output, so the console is the key's to switch.
      {"the key turns the console on", {{L"ConsoleLogLevel", 4}}, L"--event-log --level 4 first",
       {{"40000", "first"}}, 0},
      {"the key leaves the console off", {}, L"--event-log --level 4 first", {}, 1},
      // What the command line asks for wins over the key.
      {"the command line keeps its console",
       {{L"ConsoleLogEnabled", 0}, {L"ConsoleLogLevel", 1}},
       L"--console --level 3 first",
       {{"30000", "first"}},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const wchar_t* name : {L"ConsoleLogLevel", L"ConsoleLogEnabled"}) DeleteValue(name);
    for (const auto& [name, value] : c.values) StoreDword(name, value);
    const ChildResult run = RunChild(Logger(L"--settings-key \"" + path_ + L"\" --current-user " + c.arguments));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(ConsoleRecords(run.out), c.records);
    const Summary summary = ReadSummary(run.err);
    EXPECT_EQ(summary.records, 1 - c.gated);
    EXPECT_EQ(summary.gated, c.gated);
  }
}

TEST(LoggerCli, CopyToStandardErrorWithOrWithoutTheConsole) {
  const struct {
    const wchar_t* arguments;
    bool onStandardOutput;
  } cases[] = {
      {L"-s hello", true},
      {L"--event-log -s hello", false},
  };
  for (const auto& c : cases) {
    const ChildResult run = RunChild(Logger(c.arguments));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(Messages(run.out), c.onStandardOutput ? std::vector<std::string>{"hello"} : std::vector<std::string>{});
    const std::string copy = run.err.substr(0, run.err.find("summary: "));
    EXPECT_EQ(Messages(copy), std::vector<std::string>{"hello"}) << run.err;
    EXPECT_EQ(ReadSummary(run.err).records, 1);
  }
}

TEST(LoggerCli, ConsoleOnAPipeInUtf8OrTheAnsiCodePage) {
  const std::wstring message = L"h\x00E9llo \x2713 \x65E5\x672C";
  const std::string ansi = Encoded(message, CP_ACP);
  const struct {
    const wchar_t* encoding;
    std::string bytes;
  } cases[] = {
      {L"utf-8", Encoded(message, CP_UTF8)},
      {L"ansi", ansi},
  };
  for (const auto& c : cases) {
    const ChildResult run =
        RunChild(Logger(L"--console-encoding " + std::wstring(c.encoding) + L" \"" + message + L"\""));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(Messages(run.out), std::vector<std::string>{c.bytes});
  }
  EXPECT_NE(ansi.find('?'), std::string::npos) << "the check mark is in no ANSI code page";
}

TEST(LoggerCli, OutputThatCannotBeWrittenIsReportedWithStatusOne) {
  // A pipe whose reader has gone, as when the reading end of a shell pipe closes.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  ASSERT_TRUE(::CreatePipe(&read, &write, &inherit, 0));
  UniqueHandle pipeWrite(write);
  { UniqueHandle reader(read); }  // gone before the child writes
  // A device that is always full, where Wine has the Unix one.
  UniqueFileHandle full(::CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                      OPEN_EXISTING, 0, nullptr));
  ScratchFolder folder(L"vcli-");
  {
    UniqueFileHandle blocker(::CreateFileW((folder / L"blocker").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                           nullptr));
    ASSERT_TRUE(blocker);
  }

  const struct {
    const char* name;
    HANDLE standardOutput;
    std::wstring arguments;
    const char* complaint;
  } cases[] = {
      {"closed pipe", pipeWrite.get(), L"first second",
       R"(varrowmere-logger: standard output: 2 console lines not written: WriteFile Error: .+ \(\d+\)\n)"},
      {"full device", full.get(), L"first",
       R"(varrowmere-logger: standard output: 1 console line not written: WriteFile Error: .+ \(112\)\n)"},
      // The file's folder would have to be where a file is.
      {"debug file", nullptr, L"--file \"" + folder.path() + L"\\blocker\\trace.txt\" first",
       R"(varrowmere-logger: .+\\blocker\\trace\.txt: 1 record not written to the debug log file: )"
       R"(Could not create debug trace file .+\\blocker\\trace\.txt : .+ \(error : \d+\)\n)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "full device" && !full) {
      std::cout << "no Z:\\dev\\full here: the full-device case is skipped\n";
      continue;
    }
    ChildSetup setup;
    setup.standardOutput = c.standardOutput;
    const ChildResult run = RunChild(Logger(c.arguments), {}, 60000, setup);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1u) << run.err;
    const std::size_t summaryEnd = run.err.find('\n', run.err.find("summary: ")) + 1;
    EXPECT_TRUE(std::regex_match(run.err.substr(summaryEnd), std::regex(c.complaint))) << run.err;
  }
}

}  // namespace
