// The debug log file output, judged by the bytes of the real file it writes.

#include "logging/debug_file_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/system_error_text.h"
#include "logging/debug_logger.h"
#include "logging/logger_fixture.h"
#include "support/child_process.h"
#include "support/crlf_lines.h"
#include "support/scratch_folder.h"
#include "support/stdout_capture.h"
#include "support/scratch_key_test.h"

namespace {

// ---- Clocks the tests move ----

constexpr SYSTEMTIME kTenthOfMarch{2024, 3, 0, 10, 14, 5, 9, 7};
SYSTEMTIME g_now = kTenthOfMarch;
std::atomic<DWORD> g_ticks{1000};

void WINAPI TestLocalTime(SYSTEMTIME* now) { *now = g_now; }
DWORD WINAPI TestTicks() { return g_ticks.load(); }

// ---- Expected bytes ----

std::string Utf16(const std::wstring& text) {
  std::string bytes;
  for (const wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return bytes;
}

// Text of ASCII characters only, as the file holds it in each encoding.
std::string Ascii(int encoding, const std::wstring& text) {
  if (encoding == 2) return Utf16(text);
  return std::string(text.begin(), text.end());
}

std::string Header(int encoding) {
  switch (encoding) {
    case 1: return "\xEF\xBB\xBFUTF-8 encoded\r\n";
    case 2: return "\xFF\xFE" + Utf16(L"UTF-16LE encoded\r\n");
    default: return "";
  }
}

std::wstring Hex(DWORD value) {
  wchar_t text[16];
  ::_snwprintf(text, 16, L"%X", static_cast<unsigned>(value));
  text[15] = L'\0';
  return text;
}

// The date line an open writes at the test clock's time, from this thread.
std::wstring DateLine() {
  return L"[30000] (03/10 14:05:09.007):{0x" + Hex(::GetCurrentThreadId()) + L"} Current Date: 2024/03/10\r\n";
}

const std::wstring kMarkerLine = L"====== END OF LOG ======\r\n";

// A logger that is never started: the test is the owner and calls the file operations
// itself, with the test clocks, in a scratch folder.
class DebugFileTest : public testing::Test {
 protected:
  DebugFileTest() : folder_(L"vdf-") {
    g_now = kTenthOfMarch;
    g_ticks = 1000;
    logger_.SetEventLogEnabled(false);
    logger_.SetReportOnOpen(false);
    logger_.SetLocalTimeSource(&TestLocalTime);
    logger_.SetTickSource(&TestTicks);
    logger_.SetMaxFileSize(0);
    logger_.SetDebugFilePath(Path(L"trace.txt"));
  }

  std::wstring Path(const std::wstring& name) const { return folder_ / name; }
  std::string Bytes() { return ReadFileBytes(logger_.DebugFile().FileName()); }
  // One record, written as the logger thread writes a record alone in its drain.
  bool Write(const wchar_t* message, int level = 3, DWORD thread = 0x1A4, DWORD eventId = 0,
             const wchar_t* user = nullptr) {
    const bool taken = logger_.WriteDebugFile({kTenthOfMarch, thread, level, message, eventId, user});
    return logger_.DebugFile().Flush() && taken;
  }

  ScratchFolder folder_;
  DebugLogger logger_;
};

TEST_F(DebugFileTest, LinesAreWrittenByteForByteInEachEncoding) {
  const struct {
    int encoding;
    std::string userLineText;  // "{user} message" of the user-text line as the file holds it
  } cases[] = {
      {0, "{us?r} h?llo ?"},
      {1, "{us\xC3\xA9r} h\xC3\xA9llo \xE4\xB8\x80"},
      {2, Utf16(L"{us\u00e9r} h\u00e9llo \u4e00")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.encoding);
    logger_.SetDebugFilePath(Path(L"encoding" + std::to_wstring(c.encoding) + L".txt"));
    logger_.SetDebugLogEncoding(c.encoding);
    ASSERT_TRUE(logger_.OpenDebugFile());
    EXPECT_TRUE(Write(L"plain message"));
    EXPECT_TRUE(Write(L"h\u00e9llo \u4e00", 1, 0x0ABC, 0xAFFF4E20, L"us\u00e9r"));
    EXPECT_TRUE(Write(L"above the threshold", 4)) << "held back, yet counts as written";
    EXPECT_TRUE(Write(L"always", 5, 0x1A4, 0, L""));
    EXPECT_TRUE(logger_.CloseDebugFile());

    const int e = c.encoding;
    const std::string expected = Header(e) + Ascii(e, DateLine()) +
                                 Ascii(e, L"[30000] (03/10 14:05:09.007):{0x1A4} plain message\r\n") +
                                 Ascii(e, L"[20000] (03/10 14:05:09.007):{0xABC} ") + c.userLineText +
                                 Ascii(e, L"\r\n") + Ascii(e, L"[50000] (03/10 14:05:09.007):{0x1A4} always\r\n");
    EXPECT_EQ(Bytes(), expected);
  }
}

TEST_F(DebugFileTest, SplitMultiLineMessagesGiveOneLinePerTextLine) {
  logger_.SetDebugLogLevel(2);  // no date line
  DebugLogger::DebugFileLayout layout;
  layout.splitMultiLineMessages = true;
  logger_.SetDebugFileLayout(layout);
  ASSERT_TRUE(logger_.OpenDebugFile());
  EXPECT_TRUE(Write(L"a  \r\n\r\nb", 1));
  EXPECT_TRUE(Write(L"one piece", 1));
  logger_.CloseDebugFile();
  EXPECT_EQ(Bytes(),
            "[10000] (03/10 14:05:09.007):{0x1A4} a\r\n"
            "[10000] (03/10 14:05:09.007):{0x1A4} b\r\n"
            "[10000] (03/10 14:05:09.007):{0x1A4} one piece\r\n");
}

TEST_F(DebugFileTest, ALineLongerThanTheFormatLimitIsCutAndStillEndsTheLine) {
  logger_.SetDebugLogLevel(2);
  ASSERT_TRUE(logger_.OpenDebugFile());
  EXPECT_TRUE(Write(std::wstring(3000, L'x').c_str(), 1));
  EXPECT_TRUE(Write(L"next", 1));
  logger_.CloseDebugFile();
  const std::string head = "[10000] (03/10 14:05:09.007):{0x1A4} ";
  EXPECT_EQ(Bytes(), head + std::string(1023 - head.size(), 'x') + "\r\n" + head + "next\r\n");
}

// A line of printable ASCII text goes straight into the file's bytes, any other the long
// way: a character that sends its line the long way (beyond ASCII, a control character,
// a line break), in the message or in the user text, does so wherever it stands, and a
// plain line comes out the same wherever its text starts in memory.
TEST_F(DebugFileTest, EveryCharacterIsWrittenTheSameWhereverItStands) {
  logger_.SetDebugLogLevel(2);  // no date line
  ASSERT_TRUE(logger_.OpenDebugFile());
  const struct {
    wchar_t character;
    const char* written;
  } characters[] = {{L'x', "x"}, {L'~', "~"}, {L'\x7F', "\x7F"}, {L'\u00e9', "?"}, {L'\t', "\t"}, {L'\n', "#012"}};
  const std::string plain = "abcdefghijk";
  std::string expected;
  for (const auto& c : characters) {
    for (const bool inUserText : {false, true}) {
      for (std::size_t at = 0; at < plain.size(); ++at) {
        for (std::size_t start = 0; start < 4; ++start) {
          alignas(16) wchar_t buffer[32] = {};
          std::copy(plain.begin(), plain.end(), buffer + start);
          buffer[start + at] = c.character;
          std::string text = plain;
          text.replace(at, 1, c.written);
          const wchar_t* const changed = buffer + start;
          const RecordView record{kTenthOfMarch, 0x1A4, 1, inUserText ? L"message" : changed, 0,
                                  inUserText ? changed : nullptr};
          ASSERT_TRUE(logger_.WriteDebugFile(record));
          expected += "[10000] (03/10 14:05:09.007):{0x1A4} " + (inUserText ? "{" + text + "} message" : text) + "\r\n";
        }
      }
    }
  }
  logger_.CloseDebugFile();
  EXPECT_EQ(Bytes(), expected);
}

// Reopening with the same encoding continues the file; another encoding leaves it as it
// is and starts the next file beside it.
TEST_F(DebugFileTest, ReopeningAppendsOrStartsANewFileWhenTheEncodingChanges) {
  const struct {
    const char* name;
    bool structured;
    const wchar_t* first;
    const wchar_t* next;
  } cases[] = {
      {"plain names", false, L"trace-001.txt", L"trace-001_000.txt"},
      {"structured names", true, L"PFX{HOST}_comp_01_0001.txt", L"PFX{HOST}_comp_01_0002.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder(L"vdf-reopen-");
    logger_.SetDebugFilePath(folder / L"trace.txt");
    DebugLogger::DebugFileLayout layout;
    layout.structuredFileNames = c.structured;
    layout.logRootDirectory = folder.path();
    layout.fileNamePrefix = L"PFX";
    layout.componentName = L"comp";
    layout.instanceNumber = 1;
    logger_.SetDebugFileLayout(layout);
    const auto named = [&](std::wstring name) {
      const std::wstring::size_type host = name.find(L"{HOST}");
      if (host != std::wstring::npos) name.replace(host, 6, LogHostName());
      return folder / name;
    };

    logger_.SetDebugLogEncoding(1);
    ASSERT_TRUE(logger_.OpenDebugFile());
    ASSERT_EQ(logger_.DebugFile().FileName(), named(c.first));
    Write(L"first run");
    logger_.CloseDebugFile();
    ASSERT_TRUE(logger_.OpenDebugFile());
    Write(L"second run");
    logger_.CloseDebugFile();
    const std::string utf8File = ReadFileBytes(named(c.first));
    EXPECT_EQ(utf8File, Header(1) + Ascii(1, DateLine()) +
                            Ascii(1, L"[30000] (03/10 14:05:09.007):{0x1A4} first run\r\n") + Ascii(1, DateLine()) +
                            Ascii(1, L"[30000] (03/10 14:05:09.007):{0x1A4} second run\r\n"));

    logger_.SetDebugLogEncoding(2);
    ASSERT_TRUE(logger_.OpenDebugFile());
    EXPECT_EQ(logger_.DebugFile().FileName(), named(c.next));
    logger_.CloseDebugFile();
    EXPECT_EQ(ReadFileBytes(named(c.first)), utf8File) << "the UTF-8 file is left untouched";
    EXPECT_EQ(ReadFileBytes(named(c.next)), Header(2) + Utf16(DateLine()));
  }
}

// With a limit, every line that ends past it sends the writing back to the start.
TEST_F(DebugFileTest, WrapKeepsTheFileNearTheLimitAndTheNextOpenContinuesAtTheMarker) {
  constexpr int kLimit = 1000;
  for (const int encoding : {0, 1, 2}) {
    SCOPED_TRACE(encoding);
    logger_.SetDebugFilePath(Path(L"wrap" + std::to_wstring(encoding) + L".txt"));
    logger_.SetDebugLogEncoding(encoding);
    logger_.SetMaxFileSize(kLimit);
    ASSERT_TRUE(logger_.OpenDebugFile());
    {
      // Other programs may read the file while the logger holds it, but not write it.
      const std::wstring name = logger_.DebugFile().FileName();
      EXPECT_TRUE(UniqueFileHandle(::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, 0, nullptr)));
      EXPECT_FALSE(UniqueFileHandle(::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_EXISTING, 0, nullptr)));
    }
    std::size_t longestLine = 0;
    std::size_t previousSize = 0;
    std::wstring lastLine;
    for (int i = 0; i < 60; ++i) {
      const std::wstring message = L"record " + std::to_wstring(i) + L" " + std::wstring((i % 7) * 5, L'.');
      ASSERT_TRUE(Write(message.c_str()));
      lastLine = L"[30000] (03/10 14:05:09.007):{0x1A4} " + message + L"\r\n";
      longestLine = std::max(longestLine, Ascii(encoding, lastLine).size());
      const std::size_t size = Bytes().size();
      EXPECT_LE(size, kLimit + longestLine) << "after record " << i;
      EXPECT_GE(size, previousSize) << "the file never shrinks";
      previousSize = size;
    }
    // A process killed now leaves the marker where its newest writing ends.
    EXPECT_NE(Bytes().find(Ascii(encoding, lastLine) + Ascii(encoding, kMarkerLine)), std::string::npos)
        << "the newest line is marked before the file is closed";
    ASSERT_TRUE(logger_.CloseDebugFile());
    const std::string closed = Bytes();
    EXPECT_EQ(closed.substr(0, Header(encoding).size() + Ascii(encoding, L"[3").size()),
              Header(encoding) + Ascii(encoding, L"[3"))
        << "the header sits at the start after a wrap";
    const std::string newest = Ascii(encoding, lastLine) + Ascii(encoding, kMarkerLine);
    const std::size_t newestAt = closed.find(newest);
    ASSERT_NE(newestAt, std::string::npos) << "the marker follows the newest line";
    const std::size_t markerAt = newestAt + Ascii(encoding, lastLine).size();
    EXPECT_GT(closed.size(), markerAt + newest.size()) << "older lines follow the marker";

    // The next open writes its date line over the marker, and nothing else moves.
    ASSERT_TRUE(logger_.OpenDebugFile());
    logger_.CloseDebugFile();
    const std::string reopened = Bytes();
    EXPECT_EQ(reopened.substr(0, markerAt), closed.substr(0, markerAt));
    EXPECT_EQ(reopened.substr(markerAt, Ascii(encoding, DateLine() + kMarkerLine).size()),
              Ascii(encoding, DateLine() + kMarkerLine));
    logger_.SetMaxFileSize(0);
  }
}

// The marker is searched for in chunks of 8190 bytes; one that straddles two chunks is
// found too, in every encoding.
TEST_F(DebugFileTest, TheMarkerIsFoundWhereverItLies) {
  constexpr std::size_t kChunk = 8190;
  logger_.SetDebugLogLevel(2);  // the open writes nothing, so the position shows
  logger_.SetMaxFileSize(100000);
  int file = 0;
  for (const int encoding : {0, 1, 2}) {
    const std::size_t markerBytes = Ascii(encoding, kMarkerLine).size() - Ascii(encoding, L"\r\n").size();
    for (const std::size_t markerAt : {std::size_t{100}, kChunk - markerBytes + 8, kChunk - 10, 2 * kChunk + 400}) {
      SCOPED_TRACE(testing::Message() << "encoding " << encoding << ", marker at " << markerAt);
      const std::string header = Header(encoding);
      // Lines of x up to the marker line.
      const std::size_t fill = markerAt - header.size() - Ascii(encoding, L"\r\n").size();
      const std::string bytes = header + (encoding == 2 ? Utf16(std::wstring(fill / 2, L'x')) : std::string(fill, 'x')) +
                                Ascii(encoding, L"\r\n" + kMarkerLine) + Ascii(encoding, std::wstring(600, L'y'));
      const std::wstring path = Path(L"marker" + std::to_wstring(++file) + L".txt");
      ASSERT_TRUE(WriteFileBytes(path, bytes));
      logger_.SetDebugFilePath(path);
      logger_.SetDebugLogEncoding(encoding);
      ASSERT_TRUE(logger_.OpenDebugFile());
      EXPECT_EQ(logger_.DebugFile().Position(), static_cast<std::int64_t>(markerAt));
      // Closing without a new line leaves the file as it was: the marker again at its place.
      logger_.CloseDebugFile();
      EXPECT_EQ(ReadFileBytes(path), bytes);
    }
  }
  // No marker: the writing goes on at the end.
  const std::wstring path = Path(L"nomarker.txt");
  ASSERT_TRUE(WriteFileBytes(path, std::string(20000, 'x')));
  logger_.SetDebugFilePath(path);
  logger_.SetDebugLogEncoding(0);
  ASSERT_TRUE(logger_.OpenDebugFile());
  EXPECT_EQ(logger_.DebugFile().Position(), 20000);
}

// However often the file wraps and however many runs write it, it holds one marker: the
// one after the newest line.
TEST_F(DebugFileTest, OneMarkerStaysAfterEveryWrapAndRun) {
  for (const int encoding : {0, 1, 2}) {
    SCOPED_TRACE(encoding);
    logger_.SetDebugFilePath(Path(L"markers" + std::to_wstring(encoding) + L".txt"));
    logger_.SetDebugLogEncoding(encoding);
    logger_.SetMaxFileSize(1000);
    const std::string marker = Ascii(encoding, kMarkerLine);
    for (int run = 0; run < 3; ++run) {
      ASSERT_TRUE(logger_.OpenDebugFile());
      std::wstring lastLine;
      for (int i = 0; i < 30; ++i) {
        const std::wstring message = L"run " + std::to_wstring(run) + L" record " + std::to_wstring(i);
        ASSERT_TRUE(Write(message.c_str()));
        lastLine = L"[30000] (03/10 14:05:09.007):{0x1A4} " + message + L"\r\n";
        const std::string bytes = Bytes();
        ASSERT_EQ(bytes.find(marker), bytes.rfind(marker)) << "run " << run << ", record " << i;
      }
      logger_.CloseDebugFile();
      const std::string closed = Bytes();
      const std::size_t at = closed.find(marker);
      ASSERT_NE(at, std::string::npos);
      EXPECT_EQ(at, closed.rfind(marker)) << "run " << run;
      EXPECT_EQ(closed.rfind(Ascii(encoding, lastLine), at), at - Ascii(encoding, lastLine).size());
    }
  }
  logger_.SetMaxFileSize(0);
}

// Every file of a folder, by name, as it holds it now.
std::map<std::wstring, std::string> FilesIn(const std::wstring& folder) {
  std::map<std::wstring, std::string> files;
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      files[found.cFileName] = ReadFileBytes(folder + L"\\" + found.cFileName);
    }
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return files;
}

// The lines the logger thread takes in one drain are written together, and they leave the
// files as the same records written one by one leave them: the size limit falls between
// the same two records, so a batch that crosses it is split there (the rest going to the
// start after the header, or to the next numbered file after its head), and after every
// batch the marker follows the newest line wherever older lines follow it.
TEST_F(DebugFileTest, LinesWrittenTogetherLandAsLinesWrittenOneByOne) {
  const struct {
    const char* name;
    int encoding;
    int limit;
    bool newFileWhenFull;
    bool split;
  } layouts[] = {
      {"wrapping, single bytes", 0, 1000, false, false},
      {"wrapping, UTF-8", 1, 1000, false, false},
      {"wrapping, UTF-16LE", 2, 1000, false, false},
      {"a new numbered file when full", 0, 400, true, false},
      {"split multi-line messages, wrapping", 0, 700, false, true},
  };
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const std::string marker = Ascii(layout.encoding, kMarkerLine);
    const std::string lineEnd = Ascii(layout.encoding, L"\r\n");
    std::map<std::wstring, std::string> oneByOne;
    for (const int batch : {1, 4, 9, 1000}) {
      SCOPED_TRACE(testing::Message() << batch << " records a batch");
      ScratchFolder folder(L"vdf-batch-");
      logger_.SetDebugFilePath(folder / L"trace.txt");
      logger_.SetDebugLogEncoding(layout.encoding);
      logger_.SetMaxFileSize(layout.limit);
      DebugLogger::DebugFileLayout fileLayout;
      fileLayout.newFileWhenFull = layout.newFileWhenFull;
      fileLayout.splitMultiLineMessages = layout.split;
      logger_.SetDebugFileLayout(fileLayout);
      ASSERT_TRUE(logger_.OpenDebugFile());
      for (int i = 0; i < 80; ++i) {
        std::wstring message = L"record " + std::to_wstring(i) + L" " + std::wstring((i * 7) % 23, L'.');
        if (layout.split && i % 5 == 0) message += L"\r\n  and its second line";
        ASSERT_TRUE(logger_.WriteDebugFile({kTenthOfMarch, 0x1A4, 3, message.c_str(), 0, nullptr}));
        if ((i + 1) % batch != 0) continue;
        ASSERT_TRUE(logger_.DebugFile().Flush());
        // Whole lines up to where the next line goes; the one marker right there when
        // older lines follow.
        const std::string bytes = Bytes();
        const auto at = static_cast<std::size_t>(logger_.DebugFile().Position());
        ASSERT_LE(at, bytes.size());
        // Right after a wrap the next line goes after the header.
        ASSERT_GE(at, Header(layout.encoding).size());
        if (at > Header(layout.encoding).size()) {
          EXPECT_EQ(bytes.substr(at - lineEnd.size(), lineEnd.size()), lineEnd) << "after record " << i;
        }
        const std::size_t markerAt = bytes.find(marker);
        if (at < bytes.size()) {
          EXPECT_EQ(markerAt, at) << "after record " << i;
        }
        EXPECT_EQ(markerAt, bytes.rfind(marker)) << "after record " << i;
      }
      logger_.CloseDebugFile();
      const std::map<std::wstring, std::string> files = FilesIn(folder.path());
      EXPECT_EQ(files.size() > 1, layout.newFileWhenFull);
      if (batch == 1) {
        oneByOne = files;
      } else {
        EXPECT_EQ(files, oneByOne);
      }
    }
  }
  logger_.SetMaxFileSize(0);
  logger_.SetDebugFileLayout({});
}

// A line cut at the formatting limit ends in one CR LF, also where the cut falls inside
// the line's own line end.
TEST_F(DebugFileTest, EveryLineEndsInOneCrLfAroundTheCut) {
  logger_.SetDebugLogLevel(2);  // no date line
  ASSERT_TRUE(logger_.OpenDebugFile());
  const std::string head = "[10000] (03/10 14:05:09.007):{0x1A4} ";
  std::string expected;
  // Lines of 1022 to 1026 characters with their CR LF.
  for (std::size_t lineLength = 1022; lineLength <= 1026; ++lineLength) {
    const std::string message(lineLength - head.size() - 2, static_cast<char>('a' + lineLength % 26));
    EXPECT_TRUE(Write(std::wstring(message.begin(), message.end()).c_str(), 1));
    expected += (head + message).substr(0, 1023) + "\r\n";
  }
  logger_.CloseDebugFile();
  EXPECT_EQ(Bytes(), expected);
}

// A path too long for a name is refused as it stands, never cut into another file's name.
TEST_F(DebugFileTest, APathLongerThanANameIsRefusedWhole) {
  const std::wstring path = Path(std::wstring(300, L'p') + L".txt");
  logger_.SetDebugFilePath(path);
  EXPECT_FALSE(logger_.OpenDebugFile());
  EXPECT_FALSE(logger_.DebugFile().IsOpen());
  const std::wstring problem = logger_.DebugFile().LastProblem();
  EXPECT_EQ(problem.rfind(L"Could not create debug trace file " + path + L" : ", 0), 0u)
      << testing::PrintToString(problem);
  EXPECT_NE(problem.find(L"(error : " + std::to_wstring(ENAMETOOLONG) + L")"), std::wstring::npos);
  EXPECT_FALSE(FileExists(path.substr(0, kMaxLogFileNameChars)));
}

TEST_F(DebugFileTest, NewFileWhenFullNumbersTheFiles) {
  DebugLogger::DebugFileLayout layout;
  layout.newFileWhenFull = true;
  logger_.SetDebugFileLayout(layout);
  logger_.SetMaxFileSize(300);
  ASSERT_TRUE(logger_.OpenDebugFile());
  EXPECT_EQ(logger_.DebugFile().FileName(), Path(L"trace_000.txt")) << "every open starts a new file";
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(Write((L"record " + std::to_wstring(i) + L" of a few words").c_str()));
  logger_.CloseDebugFile();
  // Each file holds the date line and four records (the fifth passes the limit), then
  // the marker: three files for twelve records, and the last one just started.
  int files = 0;
  for (const wchar_t* name : {L"trace_000.txt", L"trace_001.txt", L"trace_002.txt", L"trace_003.txt"}) {
    SCOPED_TRACE(testing::Message() << name);
    const std::string bytes = ReadFileBytes(Path(name));
    files += !bytes.empty();
    EXPECT_LE(bytes.size(), 300u + 120u);
    EXPECT_EQ(bytes.substr(0, Ascii(0, DateLine()).size()), Ascii(0, DateLine())) << "each file starts afresh";
  }
  EXPECT_EQ(files, 4);
  EXPECT_FALSE(FileExists(Path(L"trace.txt")));
  ASSERT_TRUE(logger_.OpenDebugFile());
  EXPECT_EQ(logger_.DebugFile().FileName(), Path(L"trace_004.txt"));
}

TEST_F(DebugFileTest, AnEmptyPathOpensNothingAndEveryLineFails) {
  logger_.SetDebugFilePath(L"");
  EXPECT_TRUE(logger_.OpenDebugFile());
  EXPECT_FALSE(logger_.DebugFile().IsOpen());
  EXPECT_FALSE(Write(L"goes nowhere"));
}

// ---- The logger thread's retry and change of date ----

bool WaitUntil(const std::function<bool()>& condition, int milliseconds = 5000) {
  for (int i = 0; i < milliseconds && !condition(); ++i) ::Sleep(1);
  return condition();
}

std::vector<std::wstring> Containing(const std::vector<std::wstring>& messages, const std::wstring& part) {
  std::vector<std::wstring> found;
  for (const std::wstring& message : messages) {
    if (message.find(part) != std::wstring::npos) found.push_back(message);
  }
  return found;
}

// What the logger under test hands its outputs, as its record hook sees it: the debug file
// output tells of its own failures to the logger's other outputs, and a test reads them
// here. Set while the logger does not run.
std::mutex g_seenLock;
std::vector<std::wstring> g_seen;
void SeeRecord(const LogRecord& record) {
  std::lock_guard<std::mutex> hold(g_seenLock);
  if (!record.skipsDebugFile) return;
  g_seen.emplace_back(record.Message());
}

class FileProblemsTold {
 public:
  explicit FileProblemsTold(DebugLogger& logger) : logger_(logger) {
    Take();
    logger.SetRecordHook(&SeeRecord);
  }
  ~FileProblemsTold() { logger_.SetRecordHook(nullptr); }
  FileProblemsTold(const FileProblemsTold&) = delete;
  FileProblemsTold& operator=(const FileProblemsTold&) = delete;
  std::vector<std::wstring> Take() {
    std::lock_guard<std::mutex> hold(g_seenLock);
    return std::exchange(g_seen, {});
  }

 private:
  DebugLogger& logger_;
};

UniqueFileHandle g_lock;

// Once the retry has opened `file`, a record logged then reaches it, and none of those
// logged while it could not be opened (their texts start with "lost") did.
void ExpectWrittenOnlyAfterTheRetry(DebugLogger& logger, const std::wstring& file) {
  EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(file).find("Current Date") != std::string::npos; }));
  logger.AddRecord(3, 0, 0, L"written after the retry", nullptr);
  logger.Stop();
  const std::string bytes = ReadFileBytes(file);
  EXPECT_NE(bytes.find("} written after the retry\r\n"), std::string::npos) << bytes;
  EXPECT_EQ(bytes.find("} lost"), std::string::npos);
}

// The first failure is told at the logger's start, to its other outputs, with the system's
// reason; the retries that meet the same obstacle say nothing more.
TEST_F(DebugFileTest, AFileThatCannotBeCreatedIsReportedOnceAndOpensAtTheRetryOnceFree) {
  const struct {
    const char* name;
    const wchar_t* file;
    const wchar_t* report;  // before the file's name
    void (*place)(const std::wstring& folder);
    void (*clear)(const std::wstring& folder);
  } cases[] = {
      {"its folder is a file", L"blocker\\trace.txt", L"[DIAG] Could not create debug trace file ",
       [](const std::wstring& folder) { WriteFileBytes(folder + L"\\blocker", "x"); },
       [](const std::wstring& folder) { ::DeleteFileW((folder + L"\\blocker").c_str()); }},
      {"it is read-only", L"readonly\\trace.txt", L"[DIAG] Debug trace file ",
       [](const std::wstring& folder) {
         ::CreateDirectoryW((folder + L"\\readonly").c_str(), nullptr);
         WriteFileBytes(folder + L"\\readonly\\trace.txt", "");
         ::SetFileAttributesW((folder + L"\\readonly\\trace.txt").c_str(), FILE_ATTRIBUTE_READONLY);
       },
       [](const std::wstring& folder) {
         ::SetFileAttributesW((folder + L"\\readonly\\trace.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
       }},
      // Another program holds it open and shares it with nobody.
      {"it is locked", L"locked\\trace.txt", L"[DIAG] Debug trace file ",
       [](const std::wstring& folder) {
         ::CreateDirectoryW((folder + L"\\locked").c_str(), nullptr);
         g_lock.reset(::CreateFileW((folder + L"\\locked\\trace.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, CREATE_ALWAYS, 0, nullptr));
       },
       [](const std::wstring&) { g_lock.reset(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = Path(c.file);
    c.place(folder_.path());
    if (UniqueFileHandle probe(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        probe) {
      // Wine running as root lets anyone write a read-only file; Windows does not.
      std::printf("skipped \"%s\": this system writes the file anyway\n", c.name);
      continue;
    }
    FileProblemsTold told(logger_);
    logger_.SetDebugFilePath(path);
    ASSERT_TRUE(logger_.Start());
    ASSERT_TRUE(WaitForRunning(logger_));
    logger_.AddRecord(3, 0, 0, L"lost while the file cannot be made", nullptr);
    std::vector<std::wstring> reports;
    EXPECT_TRUE(WaitUntil([&] {
      for (const std::wstring& report : told.Take()) reports.push_back(report);
      return !reports.empty();
    })) << "the failure at the start is told";

    // Two retries meet the same obstacle: still one report.
    for (int retry = 0; retry < 2; ++retry) {
      g_ticks += DebugLogger::kDebugFileRetryMs + 1;
      ::Sleep(3 * DebugLogger::kCycleMs);
    }
    for (const std::wstring& report : told.Take()) reports.push_back(report);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].rfind(c.report + path + L" ", 0), 0u) << testing::PrintToString(reports[0]);

    c.clear(folder_.path());
    g_ticks += DebugLogger::kDebugFileRetryMs;  // exactly the interval: not yet
    ::Sleep(3 * DebugLogger::kCycleMs);
    EXPECT_EQ(ReadFileBytes(path).find("Current Date"), std::string::npos);
    g_ticks += 1;
    ExpectWrittenOnlyAfterTheRetry(logger_, path);
  }
}

// Obstacles that appear while the logger runs meet it when it opens its next file (a file
// it holds open can be neither removed nor locked by others): each is told once however
// often the retry meets it, the console keeps receiving every record, and the first retry
// after the obstacle is gone writes the file again.
TEST_F(DebugFileTest, ObstaclesToTheNextDaysFileAreToldOnceWhileTheConsoleGoesOn) {
  const struct {
    const char* name;
    // Puts the obstacle in the way of the day's file; false when this system ignores it.
    bool (*place)(const std::wstring& dayFolder, const std::wstring& file, std::unique_ptr<RunningChild>* holder);
    void (*clear)(const std::wstring& dayFolder, const std::wstring& file, std::unique_ptr<RunningChild>* holder);
  } cases[] = {
      {"the day's folder removed and a file put in its place",
       [](const std::wstring& dayFolder, const std::wstring&, std::unique_ptr<RunningChild>*) {
         ScratchFolder::RemoveTree(dayFolder);
         return WriteFileBytes(dayFolder, "x");
       },
       [](const std::wstring& dayFolder, const std::wstring&, std::unique_ptr<RunningChild>*) {
         ::DeleteFileW(dayFolder.c_str());
       }},
      {"the file made read-only",
       [](const std::wstring& dayFolder, const std::wstring& file, std::unique_ptr<RunningChild>*) {
         ::CreateDirectoryW(dayFolder.c_str(), nullptr);
         WriteFileBytes(file, "");
         ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
         // Wine running as root lets anyone write a read-only file; Windows does not.
         return !UniqueFileHandle(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
       },
       [](const std::wstring&, const std::wstring& file, std::unique_ptr<RunningChild>*) {
         ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
       }},
      {"the file locked by another process",
       [](const std::wstring& dayFolder, const std::wstring& file, std::unique_ptr<RunningChild>* holder) {
         ::CreateDirectoryW(dayFolder.c_str(), nullptr);
         *holder = std::make_unique<RunningChild>(L"\"" + ProgramBesideMe(L"file_holder.exe") + L"\" \"" + file + L"\"");
         return (*holder)->WaitForOutput("held\n", 10000);
       },
       [](const std::wstring&, const std::wstring&, std::unique_ptr<RunningChild>* holder) {
         (*holder)->CloseInput();
         (*holder)->Finish(10000);
       }},
  };
  SYSTEMTIME eleventh = kTenthOfMarch;
  eleventh.wDay = 11;
  int caseNumber = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_now = kTenthOfMarch;
    const std::wstring root = Path(L"faults" + std::to_wstring(caseNumber++));
    DebugLogger::DebugFileLayout layout;
    layout.logRootDirectory = root;
    layout.fileNamePrefix = L"svc";
    layout.componentName = L"comp";
    layout.structuredFileNames = layout.dailyFiles = layout.dateFolders = true;
    logger_.SetDebugFileLayout(layout);
    logger_.SetConsoleLogEnabled(true);
    const StructuredNameParts parts{root, L"svc", LogHostName(), L"comp", 0, true, true};
    wchar_t name[kMaxLogFileNameChars + 1];
    ASSERT_TRUE(BuildStructuredFileName(parts, LogFileDate{2024, 3, 11}, 1, name, std::size(name)));
    const std::wstring file = name;
    const std::wstring dayFolder = root + L"\\20240311";

    FileProblemsTold told(logger_);
    StdoutCapture console;
    ASSERT_TRUE(logger_.Start());
    ASSERT_TRUE(WaitForRunning(logger_));
    logger_.AddRecord(3, 0, 0, L"on the tenth", nullptr);
    std::unique_ptr<RunningChild> holder;
    if (!c.place(dayFolder, file, &holder)) {
      logger_.Stop();
      c.clear(dayFolder, file, &holder);
      std::printf("skipped \"%s\": this system ignores the obstacle\n", c.name);
      continue;
    }
    g_now = eleventh;
    logger_.AddRecord(3, 0, 0, L"lost at the change of date", nullptr);
    for (int retry = 0; retry < 2; ++retry) {
      g_ticks += DebugLogger::kDebugFileRetryMs + 1;
      ::Sleep(2 * DebugLogger::kCycleMs);
      logger_.AddRecord(3, 0, 0, (L"lost at retry " + std::to_wstring(retry)).c_str(), nullptr);
      ::Sleep(2 * DebugLogger::kCycleMs);
    }
    const std::vector<std::wstring> reports = told.Take();
    ASSERT_EQ(reports.size(), 1u) << "told once however often the retry meets it";
    EXPECT_NE(reports[0].find(file), std::wstring::npos);

    c.clear(dayFolder, file, &holder);
    g_ticks += DebugLogger::kDebugFileRetryMs + 1;
    ExpectWrittenOnlyAfterTheRetry(logger_, file);

    std::vector<std::string> messages;
    int diagnostics = 0;
    for (const std::string& line : CrLfLines(console.Finish())) {
      const std::string message = line.substr(line.find("} ") + 2);
      if (message.rfind("[DIAG] ", 0) == 0) {
        ++diagnostics;
      } else {
        messages.push_back(message);
      }
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"on the tenth", "lost at the change of date", "lost at retry 0",
                                                  "lost at retry 1", "written after the retry"}))
        << "the console is served all along";
    EXPECT_EQ(diagnostics, 1) << "and tells of the file's trouble";
    logger_.SetConsoleLogEnabled(false);
  }
}

// A file the system refuses to write to (here a device that is always full, as Wine
// shows the Linux one): the failure is told once, each record it costs is counted once
// however many lines it has and however many records shared the write, and the next
// lines go where the refused ones would have.
TEST_F(DebugFileTest, AFailedWriteIsToldOncePerRunOfTheSameError) {
  const std::wstring full = L"Z:\\dev\\full";
  if (!UniqueFileHandle(::CreateFileW(full.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr))) {
    GTEST_SKIP() << "no device that is always full";
  }
  logger_.SetDebugFilePath(full);
  DebugLogger::DebugFileLayout layout;
  layout.splitMultiLineMessages = true;
  logger_.SetDebugFileLayout(layout);
  EXPECT_FALSE(logger_.OpenDebugFile()) << "its date line could not be written";
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(Write(L"refused alone"));
  EXPECT_EQ(logger_.DebugFile().LostLines(), 3u);
  // One batch: a record, one of three lines, another record.
  for (const wchar_t* message : {L"refused", L"three\r\nlines\r\nrefused", L"refused"}) {
    EXPECT_TRUE(logger_.WriteDebugFile({kTenthOfMarch, 0x1A4, 3, message, 0, nullptr}));
  }
  EXPECT_FALSE(logger_.DebugFile().Flush());
  EXPECT_EQ(logger_.DebugFile().LostLines(), 6u);
  EXPECT_EQ(logger_.DebugFile().Position(), 0);
  logger_.SetDebugFileLayout({});
  // The logger is not running: what it would tell its other outputs waits in its queue.
  std::vector<std::wstring> told;
  while (std::unique_ptr<LogRecord> record = logger_.Queue().Pop()) told.emplace_back(record->Message());
  const std::vector<std::wstring> reports = Containing(told, L"[DIAG] Could not write debug trace file ");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0],
            L"[DIAG] Could not write debug trace file " + full + L" : " + Win32CallError(L"WriteFile", ERROR_DISK_FULL));
}

// A drain's lines wait to be written together only until the drain ends: while the
// logger thread sleeps, every record it took is in the file and on the console (here a
// file too).
TEST_F(DebugFileTest, EveryLineOfADrainIsWrittenBeforeTheLoggerThreadSleeps) {
  const std::wstring consolePath = Path(L"console.txt");
  UniqueFileHandle console(::CreateFileW(consolePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(console);
  const HANDLE standardOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  ::SetStdHandle(STD_OUTPUT_HANDLE, console.get());
  logger_.SetConsoleLogEnabled(true);
  ASSERT_TRUE(logger_.Start());
  ASSERT_TRUE(WaitForRunning(logger_));
  for (int i = 0; i < 3; ++i) logger_.AddRecord(3, 0, 0, (L"drained " + std::to_wstring(i)).c_str(), nullptr);
  const auto holdsAll = [](const std::string& bytes) {
    return bytes.find("} drained 0\r\n") != std::string::npos && bytes.find("} drained 2\r\n") != std::string::npos;
  };
  EXPECT_TRUE(WaitUntil([&] { return holdsAll(Bytes()) && holdsAll(ReadFileBytes(consolePath)); }));
  EXPECT_TRUE(logger_.IsRunning());
  logger_.Stop();
  ::SetStdHandle(STD_OUTPUT_HANDLE, standardOutput);
  logger_.SetConsoleLogEnabled(false);
}

TEST_F(DebugFileTest, TheChangeOfDateStartsTheNextDailyFile) {
  DebugLogger::DebugFileLayout layout;
  layout.dailyFiles = true;
  logger_.SetDebugFileLayout(layout);
  ASSERT_TRUE(logger_.Start());
  ASSERT_TRUE(WaitForRunning(logger_));
  EXPECT_EQ(logger_.DebugFile().FileName(), Path(L"trace20240310.txt"));
  logger_.AddRecord(3, 0, 0, L"on the tenth", nullptr);
  ::Sleep(2 * DebugLogger::kCycleMs);

  SYSTEMTIME eleventh = kTenthOfMarch;
  eleventh.wDay = 11;
  g_now = eleventh;
  EXPECT_TRUE(WaitUntil([&] { return FileExists(Path(L"trace20240311.txt")); }));
  logger_.AddRecord(3, 0, 0, L"on the eleventh", nullptr);
  logger_.Stop();
  const std::string tenth = ReadFileBytes(Path(L"trace20240310.txt"));
  const std::string next = ReadFileBytes(Path(L"trace20240311.txt"));
  EXPECT_NE(tenth.find("} on the tenth\r\n"), std::string::npos);
  EXPECT_EQ(tenth.find("eleventh"), std::string::npos);
  EXPECT_NE(next.find("Current Date: 2024/03/11\r\n"), std::string::npos);
  EXPECT_NE(next.find("} on the eleventh\r\n"), std::string::npos);
}

// The message of every line of a file (what follows the thread), but the thread report.
std::vector<std::string> MessagesOf(const std::string& bytes) {
  std::vector<std::string> messages;
  for (const std::string& line : CrLfLines(bytes)) {
    const std::string message = line.substr(line.find("} ") + 2);
    if (message.rfind("[DIAG] EVENT=Thread_report", 0) != 0) messages.push_back(message);
  }
  return messages;
}

void TurnTheDayAtRecord49(const LogRecord& record) {
  if (record.Message() == L"r049") g_now.wDay = 11;
}

// One drain takes every record, and the date changes while it handles the fiftieth: the
// records before the change wait to be written together, yet reach the old day's file,
// and the next day's file gets its head, then the records after the change.
TEST_F(DebugFileTest, AChangeOfDateInsideABatchSplitsItBetweenTheTwoDays) {
  DebugLogger::DebugFileLayout layout;
  layout.dailyFiles = true;
  logger_.SetDebugFileLayout(layout);
  std::vector<std::string> tenth = {"Current Date: 2024/03/10"};
  std::vector<std::string> eleventh = {"Current Date: 2024/03/11"};
  for (int i = 0; i < 100; ++i) {
    char text[8];
    std::snprintf(text, sizeof(text), "r%03d", i);
    logger_.AddRecord(3, 0, 0, std::wstring(text, text + 4).c_str(), nullptr);
    (i < 50 ? tenth : eleventh).push_back(text);
  }
  logger_.SetRecordHook(&TurnTheDayAtRecord49);
  ASSERT_TRUE(logger_.Start());
  logger_.Stop();  // the stop's drain takes the whole queue
  logger_.SetRecordHook(nullptr);
  EXPECT_EQ(MessagesOf(ReadFileBytes(Path(L"trace20240310.txt"))), tenth);
  EXPECT_EQ(MessagesOf(ReadFileBytes(Path(L"trace20240311.txt"))), eleventh);
  logger_.SetDebugFileLayout({});
}

// While the queue overflows the other outputs are left out, never the file.
TEST_F(DebugFileTest, EveryRecordReachesTheFileWhileTheQueueOverflows) {
  logger_.SetDebugLogLevel(2);
  logger_.SetQueueLimit(100);
  for (int i = 0; i < 102; ++i) logger_.AddRecord(2, 0, 0, (L"r" + std::to_wstring(i)).c_str(), nullptr);
  ASSERT_TRUE(logger_.Start());
  logger_.Stop();
  std::vector<std::string> messages;
  const std::string bytes = Bytes();
  for (std::size_t start = 0, end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = bytes.substr(start, end - start);
    messages.push_back(line.substr(line.find("} ") + 2));
  }
  std::vector<std::string> expected = {
      "[DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except for log file\"", "r0",
      "[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue has exceeded 75%\""};
  const auto record = [](int i) {
    char text[16];
    std::snprintf(text, sizeof(text), "r%d", i);
    return std::string(text);
  };
  for (int i = 1; i <= 51; ++i) expected.push_back(record(i));
  expected.push_back(
      "[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event queue has dropped below 50%, "
      "re-enabling all logging.\"");
  for (int i = 52; i <= 101; ++i) expected.push_back(record(i));
  EXPECT_EQ(messages, expected);
}

class CountingListener : public DebugFileOpenedListener {
 public:
  void OnDebugFileOpened() override { ++opened; }
  int opened = 0;
};

class DebugFileSwitch : public ScratchKeyTest {
 public:
  DebugFileSwitch() : ScratchKeyTest(L"DebugFileSwitch-"), folder_(L"vdf-switch-") {}

 protected:
  ScratchFolder folder_;
};

TEST_F(DebugFileSwitch, DebugLogEnabledClosesAndReopensTheFile) {
  g_now = kTenthOfMarch;
  DebugLogger logger;
  logger.SetEventLogEnabled(false);
  logger.SetReportOnOpen(false);
  logger.SetLocalTimeSource(&TestLocalTime);
  logger.SetMaxFileSize(100000);
  logger.SetDebugFilePath(folder_ / L"trace.txt");
  logger.SetSettingsKey(path_, true);
  CountingListener listener;
  logger.SetFileOpenedListener(&listener);
  ASSERT_TRUE(logger.OpenDebugFile());
  logger.WriteDebugFile({kTenthOfMarch, 0x1A4, 3, L"before the switch", 0, nullptr});

  StoreDword(L"DebugLogEnabled", 0);
  logger.ReadSettings();
  EXPECT_FALSE(logger.DebugFile().IsOpen());
  const std::string closed = ReadFileBytes(folder_ / L"trace.txt");
  EXPECT_EQ(closed, Ascii(0, DateLine()) + "[30000] (03/10 14:05:09.007):{0x1A4} before the switch\r\n" +
                        Ascii(0, kMarkerLine));
  EXPECT_TRUE(logger.WriteDebugFile({kTenthOfMarch, 0x1A4, 3, L"while off", 0, nullptr}));
  EXPECT_EQ(ReadFileBytes(folder_ / L"trace.txt"), closed);

  StoreDword(L"DebugLogEnabled", 1);
  logger.ReadSettings();
  EXPECT_TRUE(logger.DebugFile().IsOpen());
  EXPECT_EQ(listener.opened, 1);
  logger.CloseDebugFile();
  EXPECT_EQ(ReadFileBytes(folder_ / L"trace.txt"),
            Ascii(0, DateLine()) + "[30000] (03/10 14:05:09.007):{0x1A4} before the switch\r\n" +
                Ascii(0, DateLine()) + Ascii(0, kMarkerLine))
      << "a new open continues at the marker with the date line";
}

// ---- Names ----

TEST(DebugFileNames, StructuredShapes) {
  const LogFileDate date{2024, 3, 5};
  const struct {
    bool daily;
    bool dateFolders;
    const wchar_t* name;
    const wchar_t* pattern;
  } cases[] = {
      {false, false, L"C:\\Logs\\svcHOST_comp_02_0007.txt", L"C:\\Logs\\*HOST_comp_02_*.txt"},
      {false, true, L"C:\\Logs\\20240305\\svcHOST_comp_02_0007.txt", L"C:\\Logs\\20240305\\*HOST_comp_02_*.txt"},
      {true, false, L"C:\\Logs\\svcHOST_comp_02_20240305_0007.txt", L"C:\\Logs\\*HOST_comp_02_20240305_*.txt"},
      {true, true, L"C:\\Logs\\20240305\\svcHOST_comp_02_20240305_0007.txt",
       L"C:\\Logs\\20240305\\*HOST_comp_02_20240305_*.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "daily " << c.daily << ", date folders " << c.dateFolders);
    const StructuredNameParts parts{L"C:\\Logs", L"svc", L"HOST", L"comp", 2, c.daily, c.dateFolders};
    wchar_t name[kMaxLogFileNameChars + 1];
    ASSERT_TRUE(BuildStructuredFileName(parts, date, 7, name, std::size(name)));
    EXPECT_STREQ(name, c.name);
    EXPECT_EQ(StructuredSearchPattern(parts, date), c.pattern);
  }
}

TEST(DebugFileNames, TooLongNamesAreRefusedWithinTheBuffer) {
  const LogFileDate date{2024, 3, 5};
  StructuredNameParts parts{L"C:\\Logs", L"svc", L"HOST", L"comp", 2, false, false};
  wchar_t guarded[21];
  guarded[20] = L'#';
  EXPECT_FALSE(BuildStructuredFileName(parts, date, 1, guarded, 20)) << "does not fit the caller's buffer";
  EXPECT_EQ(guarded[0], L'\0');
  EXPECT_EQ(guarded[20], L'#');

  parts.root = L"C:\\" + std::wstring(240, L'r');
  wchar_t name[kMaxLogFileNameChars + 1];
  EXPECT_FALSE(BuildStructuredFileName(parts, date, 1, name, std::size(name))) << "over 256 characters";
  EXPECT_TRUE(StructuredSearchPattern(parts, date).empty());
  parts.root = L"C:\\" + std::wstring(256 - 3 - std::wcslen(L"\\svcHOST_comp_02_0001.txt"), L'r');
  EXPECT_TRUE(BuildStructuredFileName(parts, date, 1, name, std::size(name))) << "exactly 256 characters";
  EXPECT_EQ(std::wcslen(name), 256u);
}

TEST(DebugFileNames, PlainNames) {
  const LogFileDate date{2024, 3, 5};
  const struct {
    const wchar_t* path;
    int instance;
    bool daily;
    int number;  // -1: the name as built
    const wchar_t* name;
  } cases[] = {
      {L"C:\\Logs\\trace.txt", 0, false, -1, L"C:\\Logs\\trace.txt"},
      {L"C:\\Logs\\trace.txt", 2, true, -1, L"C:\\Logs\\trace-002-20240305.txt"},
      {L"C:\\Logs\\trace.txt", 2, false, -1, L"C:\\Logs\\trace-002.txt"},
      {L"C:\\Logs\\trace.txt", 0, true, -1, L"C:\\Logs\\trace20240305.txt"},
      {L"C:\\Logs\\trace.txt", 0, true, 0, L"C:\\Logs\\trace20240305_000.txt"},
      {L"C:\\Logs\\trace.txt", 0, false, 12, L"C:\\Logs\\trace_012.txt"},
      {L"C:\\Logs\\trace", 0, true, -1, L"C:\\Logs\\trace20240305"},
      {L"C:\\Logs.d\\trace", 1, false, 3, L"C:\\Logs.d\\trace-001_003"},
      {L"\\\\server\\share\\logs\\t.txt", 0, false, -1, L"\\\\server\\share\\logs\\t.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name);
    const PlainFileName name = BuildPlainFileName(c.path, c.instance, c.daily, date);
    EXPECT_EQ(c.number < 0 ? name.Name() : name.Numbered(c.number), c.name);
  }
}

// Which names belong to one host, component and instance: any prefix that a host name
// cannot end, the owner's own prefix, and sequence numbers of any width.
TEST(DebugFileNames, StructuredNamesBelongToTheirWholeHostOnly) {
  const StructuredNameParts parts{L"C:\\Logs", L"svc", L"VM", L"comp", 0, true, false};
  const struct {
    const wchar_t* name;
    int sequence;  // -1: not one of these parts' files
  } cases[] = {
      {L"svcVM_comp_00_20200101_0001.txt", 1},
      {L"VM_comp_00_20200101_0002.txt", 2},
      {L"other_VM_comp_00_20200101_0003.txt", 3},
      {L"logVM_comp_00_20200101_0004.txt", 4},
      {L"vm_COMP_00_20200101_10000.TXT", 10000},
      {L"XVM_comp_00_20200101_0001.txt", -1},  // host XVM
      {L"2VM_comp_00_20200101_0001.txt", -1},  // host 2VM
      {L"svcVM_comp_01_20200101_0001.txt", -1},
      {L"svcVM_other_00_20200101_0001.txt", -1},
      {L"svcVM_comp_00_2020010_0001.txt", -1},
      {L"svcVM_comp_00_20200101_001.txt", -1},
      {L"svcVM_comp_00_20200101_0001.log", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
    const std::optional<StructuredFileName> found = ParseStructuredFileName(c.name, parts);
    ASSERT_EQ(found.has_value(), c.sequence >= 0);
    if (found) {
      EXPECT_EQ(found->sequence, c.sequence);
      EXPECT_EQ(found->dateDigits, L"20200101");
    }
  }
}

// The next number of a name is one past the highest that exists, however many digits it
// has: a new file is never one already there.
TEST(DebugFileNames, NumbersGoOnPastTheirWidth) {
  ScratchFolder folder(L"vdf-numbers-");
  const LogFileDate date{2024, 3, 5};
  const PlainFileName plain = BuildPlainFileName(folder / L"trace.txt", 0, false, date);
  EXPECT_EQ(NextPlainFileNumber(plain), 0);
  for (const wchar_t* name : {L"trace_998.txt", L"trace_999.txt", L"trace_x.txt", L"trace_12.txt"}) {
    WriteFileBytes(folder / name, "");
  }
  EXPECT_EQ(NextPlainFileNumber(plain), 1000);
  WriteFileBytes(folder / L"trace_1000.txt", "");
  EXPECT_EQ(NextPlainFileNumber(plain), 1001);
  EXPECT_EQ(plain.Numbered(1001), folder / L"trace_1001.txt");

  const StructuredNameParts parts{folder.path(), L"svc", L"HOST", L"comp", 2, false, false};
  for (const int sequence : {9998, 9999, 10000}) {
    wchar_t name[kMaxLogFileNameChars + 1];
    ASSERT_TRUE(BuildStructuredFileName(parts, date, sequence, name, std::size(name)));
    WriteFileBytes(name, "");
  }
  EXPECT_EQ(FindHighestSequenceNumber(parts, date), 10000);
}

TEST(DebugFileNames, EnsureFilePathCreatesFoldersAndTheFile) {
  ScratchFolder folder(L"vdf-ensure-");
  const std::wstring path = folder / L"a\\b\\c\\trace.txt";
  EXPECT_EQ(EnsureFilePath(path), 0);
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(EnsureFilePath(path), 0) << "an existing file is fine";

  errno = 0;
  EXPECT_EQ(EnsureFilePath(L"\\\\server"), -1);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
