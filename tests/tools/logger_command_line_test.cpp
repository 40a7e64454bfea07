// varrowmere-logger's command line and input lines, in process: every form of an option
// the parser takes, every kind of bad usage with its reason, and lines cut from input
// that arrives in arbitrary pieces.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "command_line.h"
#include "input_lines.h"

namespace {

std::vector<std::wstring> Words(const std::wstring& line) {
  std::vector<std::wstring> words;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t end = line.find(L' ', at);
    words.push_back(line.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at));
    if (end == std::wstring::npos) break;
    at = end + 1;
  }
  return words;
}

using Messages = std::vector<std::wstring>;

// ASCII text for a trace line.
std::string Ascii(const std::wstring& text) {
  std::string ascii;
  for (const wchar_t c : text) ascii += c < 0x80 ? static_cast<char>(c) : '?';
  return ascii;
}

TEST(LoggerCommandLine, EveryFormOfAnOption) {
  const struct {
    std::vector<std::wstring> arguments;
    std::function<void(const LoggerOptions&)> check;
  } cases[] = {
      {Words(L"--level=4 x"), [](const LoggerOptions& o) { EXPECT_EQ(o.level, 4); }},
      {Words(L"--level 4 x"), [](const LoggerOptions& o) { EXPECT_EQ(o.level, 4); }},
      {Words(L"-p4 x"), [](const LoggerOptions& o) { EXPECT_EQ(o.level, 4); }},
      {Words(L"-p 4 x"), [](const LoggerOptions& o) { EXPECT_EQ(o.level, 4); }},
      // Leading zeros are decimal, not octal.
      {Words(L"--level 010 x"), [](const LoggerOptions& o) { EXPECT_EQ(o.level, 10); }},
      {Words(L"--level 08 x"), [](const LoggerOptions& o) { EXPECT_EQ(o.level, 8); }},
      {Words(L"-i 0x6FFF7531 x"), [](const LoggerOptions& o) { EXPECT_EQ(o.eventId, 0x6FFF7531u); }},
      {Words(L"--event-id=0X1f x"), [](const LoggerOptions& o) { EXPECT_EQ(o.eventId, 31u); }},
      {Words(L"--event-id 4294967295 x"), [](const LoggerOptions& o) { EXPECT_EQ(o.eventId, 0xFFFFFFFFu); }},
      {Words(L"--event-id 010 x"), [](const LoggerOptions& o) { EXPECT_EQ(o.eventId, 10u); }},
      {Words(L"-t tag x"), [](const LoggerOptions& o) { EXPECT_EQ(o.application, L"tag"); }},
      {Words(L"--app=tag x"), [](const LoggerOptions& o) { EXPECT_EQ(o.application, L"tag"); }},
      {Words(L"-se x"),
       [](const LoggerOptions& o) {
         EXPECT_TRUE(o.copyToStandardError);
         EXPECT_TRUE(o.skipEmptyLines);
       }},
      // Only the last of a cluster takes a value: the rest of the word, or the next one.
      {Words(L"-sefin.txt"),
       [](const LoggerOptions& o) {
         EXPECT_TRUE(o.copyToStandardError);
         EXPECT_EQ(o.inputFile, L"in.txt");
       }},
      {Words(L"-ef in.txt"), [](const LoggerOptions& o) { EXPECT_EQ(o.inputFile, L"in.txt"); }},
      // A value may start with a dash.
      {Words(L"--user -x y"),
       [](const LoggerOptions& o) {
         EXPECT_EQ(o.userText, L"-x");
         EXPECT_EQ(o.messages, Messages{L"y"});
       }},
      {Words(L"a --console b -p 2 c"),
       [](const LoggerOptions& o) {
         EXPECT_EQ(o.messages, (Messages{L"a", L"b", L"c"}));
         EXPECT_TRUE(o.console);
         EXPECT_EQ(o.level, 2);
       }},
      {Words(L"-- --level -x"),
       [](const LoggerOptions& o) {
         EXPECT_EQ(o.messages, (Messages{L"--level", L"-x"}));
         EXPECT_EQ(o.level, 3);
       }},
      {Words(L"-"), [](const LoggerOptions& o) { EXPECT_EQ(o.messages, Messages{L"-"}); }},
      {Words(L"--console-encoding UTF-8 x"),
       [](const LoggerOptions& o) { EXPECT_EQ(o.consoleCodePage, UINT{CP_UTF8}); }},
      {Words(L"--console-encoding=utf8 --console-encoding ansi x"),
       [](const LoggerOptions& o) { EXPECT_EQ(o.consoleCodePage, 0u); }},
      {Words(L"--structured=R P C x"),
       [](const LoggerOptions& o) {
         EXPECT_TRUE(o.structured);
         EXPECT_EQ(o.logRoot + o.filePrefix + o.component, L"RPC");
         EXPECT_EQ(o.messages, Messages{L"x"});
       }},
      {Words(L"--queue-bytes 0 --queue-limit=7 x"),
       [](const LoggerOptions& o) {
         EXPECT_EQ(o.queueBytes, 0);
         EXPECT_EQ(o.queueLimit, 7);
       }},
      {Words(L"--queue-bytes 4294967295 x"), [](const LoggerOptions& o) { EXPECT_EQ(o.queueBytes, 0xFFFFFFFFLL); }},
      {Words(L"--no-header --nonblocking-syslog --syslog h:1/tcp --facility 23 x"),
       [](const LoggerOptions& o) {
         EXPECT_TRUE(o.noSyslogHeader);
         EXPECT_TRUE(o.nonblockingSyslog);
         EXPECT_EQ(o.syslogServers, L"h:1/tcp");
         EXPECT_EQ(o.syslogFacility, 23);
       }},
      {Words(L"--file f --encoding 2 --max-age 0 --max-size 0 --instance 999 x"),
       [](const LoggerOptions& o) {
         EXPECT_EQ(o.filePath, L"f");
         EXPECT_EQ(o.encoding, 2);
         EXPECT_EQ(o.maxAgeDays, 0);
         EXPECT_EQ(o.maxFileSize, 0);
         EXPECT_EQ(o.instance, 999);
       }},
      // --help and --version end the parsing: what follows is not looked at.
      {Words(L"--help --frobnicate"), [](const LoggerOptions& o) { EXPECT_TRUE(o.help); }},
      {Words(L"-h"), [](const LoggerOptions& o) { EXPECT_TRUE(o.help); }},
      {Words(L"/?"), [](const LoggerOptions& o) { EXPECT_TRUE(o.help); }},
      {Words(L"-V --level 99"), [](const LoggerOptions& o) { EXPECT_TRUE(o.version); }},
      {Words(L"--version"), [](const LoggerOptions& o) { EXPECT_TRUE(o.version); }},
  };
  for (const auto& c : cases) {
    std::wstring line;
    for (const std::wstring& word : c.arguments) line += word + L" ";
    SCOPED_TRACE(Ascii(line));
    LoggerOptions options;
    std::wstring error;
    ASSERT_TRUE(ParseLoggerOptions(c.arguments, &options, &error)) << Ascii(error);
    c.check(options);
  }
}

TEST(LoggerCommandLine, WhereTheRecordsComeFromAndGo) {
  const struct {
    const wchar_t* arguments;
    bool readsStandardInput;
    bool namesAnOutput;
  } cases[] = {
      {L"", true, false},
      {L"message", false, false},
      {L"-f in.txt", false, false},
      {L"-f -", true, false},
      {L"--stdin message", true, false},
      {L"--count 1", false, false},
      {L"--no-event-log x", false, false},
      {L"--event-log x", false, true},
      {L"--console x", false, true},
      {L"--file f x", false, true},
      {L"--structured r p c x", false, true},
      {L"--syslog h x", false, true},
      {L"-s x", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Ascii(c.arguments));
    LoggerOptions options;
    std::wstring error;
    ASSERT_TRUE(ParseLoggerOptions(*c.arguments ? Words(c.arguments) : std::vector<std::wstring>{}, &options, &error));
    EXPECT_EQ(options.ReadsStandardInput(), c.readsStandardInput);
    EXPECT_EQ(options.NamesAnOutput(), c.namesAnOutput);
  }
}

TEST(LoggerCommandLine, BadUsageGivesOneReason) {
  const struct {
    std::vector<std::wstring> arguments;
    const wchar_t* reason;
  } cases[] = {
      {{L"--frobnicate"}, L"unknown option --frobnicate"},
      {{L"--frob=1"}, L"unknown option --frob"},
      {{L"-x"}, L"unknown option -x"},
      {{L"-sx"}, L"unknown option -x"},
      {{L"x", L"--level"}, L"--level needs a value"},
      {{L"-p"}, L"-p needs a value"},
      {{L"--structured", L"a", L"b"}, L"--structured needs three values: ROOT PREFIX COMPONENT"},
      {{L"--console=yes"}, L"--console takes no value"},
      {{L"--level", L"abc"}, L"--level needs a decimal number, not \"abc\""},
      {{L"--level", L"0x3"}, L"--level needs a decimal number, not \"0x3\""},
      {{L"--level", L" 3"}, L"--level needs a decimal number, not \" 3\""},
      {{L"--level", L"3 "}, L"--level needs a decimal number, not \"3 \""},
      {{L"--level="}, L"--level needs a decimal number, not \"\""},
      {{L"-p", L"+3"}, L"-p needs a decimal number, not \"+3\""},
      {{L"--event-id", L"0xZZ"}, L"--event-id needs a decimal number or 0x and hexadecimal digits, not \"0xZZ\""},
      {{L"--event-id", L"0x"}, L"--event-id needs a decimal number or 0x and hexadecimal digits, not \"0x\""},
      {{L"--level", L"16"}, L"--level takes a number from 0 to 15, not \"16\""},
      {{L"--level", L"-1"}, L"--level takes a number from 0 to 15, not \"-1\""},
      {{L"-p", L"99999999999999999999999"}, L"-p takes a number from 0 to 15, not \"99999999999999999999999\""},
      {{L"-i", L"0x100000000"}, L"-i takes a number from 0 to 4294967295, not \"0x100000000\""},
      {{L"--count", L"0"}, L"--count takes a number from 1 to 1000000000000, not \"0\""},
      {{L"--threads", L"65"}, L"--threads takes a number from 1 to 64, not \"65\""},
      {{L"--facility", L"24"}, L"--facility takes a number from 0 to 23, not \"24\""},
      {{L"--queue-bytes", L"4294967296"}, L"--queue-bytes takes a number from 0 to 4294967295, not \"4294967296\""},
      {{L"--queue-limit", L"2147483648"}, L"--queue-limit takes a number from 0 to 2147483647, not \"2147483648\""},
      {{L"--instance", L"1000"}, L"--instance takes a number from 0 to 999, not \"1000\""},
      {{L"--encoding", L"3"}, L"--encoding takes a number from 0 to 2, not \"3\""},
      {{L"--console-encoding", L"latin1"}, L"--console-encoding takes ansi or utf-8, not \"latin1\""},
      {{L"-t", L""}, L"-t needs a non-empty name"},
      {{L"-f", L""}, L"-f needs a file name"},
      {{L"--file="}, L"--file needs a file name"},
      {{L"--syslog", L""}, L"--syslog needs at least one collector"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Ascii(c.reason));
    LoggerOptions options;
    std::wstring error;
    EXPECT_FALSE(ParseLoggerOptions(c.arguments, &options, &error));
    EXPECT_EQ(error, c.reason);
  }
}

TEST(LoggerCommandLine, HelpNamesEveryOptionWithinEightyColumns) {
  const std::wstring usage = LoggerUsage();
  for (const wchar_t* option :
       {L"-f, --input FILE", L"--stdin", L"-e, --skip-empty", L"--count N", L"--threads M", L"-p, --level N",
        L"-i, --event-id N", L"--user TEXT", L"-t, --app NAME", L"--console ", L"-s, --stderr",
        L"--console-encoding NAME", L"--event-log", L"--no-event-log", L"--syslog LIST", L"--facility N",
        L"--no-header", L"--nonblocking-syslog", L"--file PATH", L"--daily", L"--max-size N", L"--new-file-when-full",
        L"--instance N", L"--structured ROOT PREFIX COMPONENT", L"--date-folders", L"--split-lines",
        L"--encoding 0|1|2", L"--max-age DAYS", L"--no-report", L"--settings-key PATH", L"--current-user",
        L"--queue-limit N", L"--queue-bytes N", L"-h, --help", L"-V, --version"}) {
    EXPECT_NE(usage.find(option), std::wstring::npos) << Ascii(option);
  }
  std::size_t start = 0;
  for (std::size_t end; (end = usage.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
    EXPECT_LE(end - start, 80u) << Ascii(usage.substr(start, end - start));
  }
}

// ---- Input lines ----

std::vector<std::string> Split(const std::vector<std::string>& pieces) {
  std::vector<std::string> lines;
  LineSplitter splitter([&lines](const char* bytes, std::size_t length) { lines.emplace_back(bytes, length); });
  for (const std::string& piece : pieces) splitter.Feed(piece.data(), piece.size());
  splitter.Finish();
  return lines;
}

using Lines = std::vector<std::string>;

TEST(InputLines, LinesAcrossPiecesOfAnyLength) {
  const struct {
    std::vector<std::string> pieces;
    Lines lines;
  } cases[] = {
      {{}, {}},
      {{"one\n\ntwo\n"}, {"one", "", "two"}},
      {{"no line feed at the end"}, {"no line feed at the end"}},
      {{"lo", "ng li", "ne\nnext"}, {"long line", "next"}},
      // CR LF split between two pieces, and a bare CR inside a line.
      {{"a\r", "\nb\r\n"}, {"a", "b"}},
      {{"\r\n", "\r\n"}, {"", ""}},
      {{"a\rb\n"}, {"a\rb"}},
      {{std::string("nul\0inside\n", 11)}, {std::string("nul\0inside", 10)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pieces.empty() ? "(nothing)" : c.pieces.front());
    EXPECT_EQ(Split(c.pieces), c.lines);
  }
}

TEST(InputLines, DecodingKeepsEveryCharacter) {
  const struct {
    std::string bytes;
    bool firstLine;
    std::wstring text;
  } cases[] = {
      {std::string("before\0after", 12), false, L"before\xFFFD" L"after"},
      {"h\xC3\xA9llo \xE2\x9C\x93", false, L"h\x00E9llo \x2713"},
      {"\xEF\xBB\xBF" "first", true, L"first"},
      {"\xEF\xBB\xBF" "later", false, L"\xFEFF" L"later"},
      {"", true, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(DecodeInputLine(c.bytes.data(), c.bytes.size(), c.firstLine), c.text);
  }
  // Not UTF-8: the ANSI code page has a character for every byte of it.
  const std::wstring ansi = DecodeInputLine("h\xE9llo", 5, false);
  EXPECT_EQ(ansi.size(), 5u);
  EXPECT_EQ(ansi.substr(2), L"llo");
}

}  // namespace
