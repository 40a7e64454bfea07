// varrowmere-logger at the edges of its debug file: a size limit smaller than a file's
// head, numbered names past their width, a report under a backlog, a second writer, a
// record that reads like the end-of-log marker, and a first open of a huge file. Each
// run's files are read back whole.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"
#include "support/crlf_lines.h"
#include "support/scratch_folder.h"
#include "system/record_lines.h"
#include "win32/unique_resource.h"

namespace {

std::wstring Logger(const std::wstring& arguments) {
  return L"\"" + ProgramBesideMe(L"varrowmere-logger.exe") + L"\" --no-event-log " + arguments;
}

// The files of a folder whose names start with `stem`, in the order of their numbers.
std::vector<std::wstring> NumberedFiles(const ScratchFolder& folder, const std::wstring& stem) {
  std::vector<std::pair<long, std::wstring>> found;
  WIN32_FIND_DATAW data;
  UniqueFindHandle search(::FindFirstFileW((folder / (stem + L"*")).c_str(), &data));
  if (search) {
    do {
      const std::wstring name = data.cFileName;
      found.emplace_back(std::wcstol(name.c_str() + stem.size(), nullptr, 10), name);
    } while (::FindNextFileW(search.get(), &data));
  }
  std::sort(found.begin(), found.end());
  std::vector<std::wstring> names;
  for (const auto& entry : found) names.push_back(folder / entry.second);
  return names;
}

// One file's lines as the head and the records: the head is everything before the first
// generated record or message; a file must start with its date line.
struct FileLines {
  std::vector<std::string> head;     // messages of the head
  std::vector<std::string> records;  // messages after it
  std::vector<std::string> faults;
};

FileLines ReadFileLines(const std::wstring& path) {
  FileLines file;
  std::string bytes = ReadFileBytes(path);
  const std::size_t marker = bytes.rfind(std::string(kMarker) + "\r\n");
  if (marker != std::string::npos && marker + kMarker.size() + 2 == bytes.size()) bytes.resize(marker);
  for (const std::string& line : CrLfLines(bytes)) {
    std::string_view message;
    if (!MessageOf(line, kFileHead, &message)) {
      file.faults.push_back("not a whole line: " + line.substr(0, 120));
      continue;
    }
    const bool headLine = message.rfind("Current Date: ", 0) == 0 || message.rfind("[DIAG] EVENT=Thread_report", 0) == 0 ||
                          message.rfind("[ENV] ", 0) == 0;
    if (headLine && file.records.empty()) {
      file.head.emplace_back(message);
    } else {
      file.records.emplace_back(message);
    }
  }
  if (file.head.empty() || file.head[0].rfind("Current Date: ", 0) != 0) file.faults.push_back("no date line first");
  return file;
}

int CountStartingWith(const std::vector<std::string>& lines, std::string_view start) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind(start, 0) == 0;
  }));
}

// A size limit below what a new file's head takes: the head never opens another file,
// every record is written once, in order, each file begins with its own head (one report
// per file, at its head, before any record), and the numbers go on past their width.
TEST(HostDebugFileLimit, AHeadLargerThanTheLimitStartsNoFileOfItsOwnAndLosesNothing) {
  const struct {
    const char* name;
    const wchar_t* options;
    long long records;          // generated records in all; 0: the one message "one record"
    const wchar_t* placedEmpty;  // a file there before the run, empty
    std::size_t mostFiles;
  } cases[] = {
      {"limit below the date line and thread report", L"--max-size 100 --no-report \"one record\"", 0, nullptr, 2},
      {"a report larger than the limit", L"--max-size 2000 --count 10", 10, nullptr, 10},
      {"numbers past three digits", L"--max-size 400 --no-report --count 60", 60, L"trace_999.txt", 40},
      {"a report under a backlog", L"--max-size 60000 --count 3000 --threads 2", 6000, nullptr, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder(L"vlimit-");
    if (c.placedEmpty != nullptr) {
      ASSERT_TRUE(WriteFileBytes(folder / c.placedEmpty, ""));
    }
    const ChildResult run = RunChild(
        Logger(L"--new-file-when-full --file " + Quoted(folder / L"trace.txt") + L" " + c.options), {}, 120000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.err;

    const bool report = std::wstring(c.options).find(L"--no-report") == std::wstring::npos;
    const int threads = std::wstring(c.options).find(L"--threads 2") == std::wstring::npos ? 1 : 2;
    RecordTally tally(threads, true);
    std::vector<std::string> messages;
    const std::vector<std::wstring> files = NumberedFiles(folder, L"trace_");
    ASSERT_FALSE(files.empty());
    std::size_t written = 0;
    for (const std::wstring& path : files) {
      if (c.placedEmpty != nullptr && path == folder / c.placedEmpty) {
        EXPECT_EQ(ReadFileBytes(path), "") << "an existing file is never written again";
        continue;
      }
      ++written;
      SCOPED_TRACE(testing::PrintToString(path));
      const FileLines file = ReadFileLines(path);
      EXPECT_EQ(file.faults, std::vector<std::string>{});
      EXPECT_EQ(CountStartingWith(file.head, "[ENV] Current Process: "), report ? 1 : 0) << "the report heads the file";
      for (const std::string& record : file.records) {
        EXPECT_NE(record.rfind("[ENV] ", 0), 0u) << "no report line after the first record";
        if (record.rfind("[DIAG] ", 0) == 0) continue;
        if (c.records == 0) {
          messages.push_back(record);
        } else {
          tally.Message(record);
        }
      }
    }
    if (c.records == 0) {
      EXPECT_EQ(messages, std::vector<std::string>{"one record"});
    } else {
      EXPECT_EQ(tally.faults(), std::vector<std::string>{});
      EXPECT_EQ(tally.records(), c.records) << "every record once";
    }
    EXPECT_LE(written, c.mostFiles);
    std::printf("%s: %zu files\n", c.name, written);
    if (c.placedEmpty != nullptr) {
      EXPECT_EQ(files[1], folder / L"trace_1000.txt");
    }
  }
}

// ---- Two writers ----

// One file, one writer: a second run on a file another run holds writes nothing into it,
// says why, and exits 1; its records still reach its console. The holder's lines are whole.
TEST(HostDebugFileWriters, ASecondWriterIsRefusedAndSaysWhy) {
  for (const wchar_t* size : {L"--max-size 0", L"--max-size 100000"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(size)));
    ScratchFolder folder(L"vwriters-");
    const std::wstring path = folder / L"shared.txt";
    const std::wstring options = std::wstring(size) + L" --no-report --file " + Quoted(path);
    RunningChild holder(Logger(options + L" --stdin"));
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(holder.WriteInput("held 1\n"));
    for (int i = 0; i < 5000 && ReadFileBytes(path).find("} held 1\r\n") == std::string::npos; ++i) ::Sleep(1);

    const ChildResult second = RunChild(Logger(options + L" --console \"from the second\""));
    EXPECT_EQ(second.exitCode, 1u);
    EXPECT_NE(second.err.find("1 record not written to the debug log file: Debug trace file "), std::string::npos)
        << second.err;
    EXPECT_NE(second.err.find("(32)"), std::string::npos) << "the system's reason: " << second.err;
    EXPECT_NE(second.out.find("} from the second\r\n"), std::string::npos) << "its console has the record";
    EXPECT_NE(second.out.find("} [DIAG] Debug trace file "), std::string::npos) << "and the reason";

    ASSERT_TRUE(holder.WriteInput("held 2\n"));
    holder.CloseInput();
    const ChildResult first = holder.Finish(30000);
    EXPECT_EQ(first.exitCode, 0u) << first.err;
    const FileLines file = ReadFileLines(path);
    EXPECT_EQ(file.faults, std::vector<std::string>{});
    EXPECT_EQ(file.records, (std::vector<std::string>{"held 1", "held 2"}));
  }
}

// ---- The end-of-log marker ----

// A record whose text is the marker is a record like any other: the next run continues
// after the newest line, not over the lines that follow that record.
TEST(HostDebugFileMarker, ARecordThatReadsLikeTheMarkerIsNoMarker) {
  for (const int encoding : {0, 2}) {
    SCOPED_TRACE(encoding);
    ScratchFolder folder(L"vmarker-");
    const std::wstring path = folder / L"marker.txt";
    const std::wstring options =
        L"--no-report --max-size 100000 --encoding " + std::to_wstring(encoding) + L" --file " + Quoted(path);
    ASSERT_EQ(RunChild(Logger(options + L" before \"====== END OF LOG ======\" \"after 1\" \"after 2\"")).exitCode, 0u);
    ASSERT_EQ(RunChild(Logger(options + L" \"next run\"")).exitCode, 0u);
    std::string bytes = ReadFileBytes(path);
    if (encoding == 2) {
      // The test reads the UTF-16 file as the ASCII text it holds.
      std::string narrow;
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) narrow += bytes[i];
      bytes = narrow.substr(narrow.find("encoded\r\n") + 9);
    }
    std::vector<std::string> messages;
    for (const std::string& line : CrLfLines(bytes)) {
      std::string_view message;
      if (MessageOf(line, kFileHead, &message)) {
        if (message.rfind("Current Date", 0) != 0 && message.rfind("[DIAG]", 0) != 0) messages.emplace_back(message);
      } else {
        EXPECT_EQ(line, kMarker) << "a torn line";
      }
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"before", "====== END OF LOG ======", "after 1", "after 2", "next run"}));
  }
}

// ---- A huge file ----

// A file far larger than its limit was never wrapped by this logger: its first open does
// not read it through for a marker, and however long an open takes, the host waits for
// its logger and loses no record.
TEST(HostDebugFileHuge, TheFirstOpenOfAHugeFileIsQuickAndLosesNothing) {
  ScratchFolder folder(L"vhuge-");
  const std::wstring path = folder / L"huge.txt";
  {
    // Six gigabytes of nothing: a sparse file costs no disk, but reads take their time.
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    LARGE_INTEGER size;
    size.QuadPart = 6LL << 30;
    ASSERT_TRUE(::SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(file.get()));
  }
  const ULONGLONG started = ::GetTickCount64();
  const ChildResult run = RunChild(Logger(L"--no-report --max-size 1000 --file " + Quoted(path) + L" \"the record\""), {},
                                   120000);
  const ULONGLONG took = ::GetTickCount64() - started;
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  std::printf("a run on a 6 GB file took %llu ms\n", took);
  // The run wrote its head at the end, where the writing went on, then wrapped to the
  // start at the first record.
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  LARGE_INTEGER end;
  end.QuadPart = 6LL << 30;
  ASSERT_TRUE(::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
  std::string tail(4096, '\0');
  DWORD got = 0;
  ASSERT_TRUE(::ReadFile(file.get(), tail.data(), static_cast<DWORD>(tail.size()), &got, nullptr));
  tail.resize(got);
  EXPECT_NE(tail.find("} the record\r\n"), std::string::npos) << tail.substr(0, 300);
}

}  // namespace
