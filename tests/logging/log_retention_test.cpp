// Retention of daily debug log files, judged by which real files with set time stamps
// are left in a scratch folder.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "logging/log_retention.h"
#include "logging/debug_logger.h"
#include "support/scratch_folder.h"

namespace {

constexpr LogFileDate kTenthOfMarch{2024, 3, 10};
constexpr std::int64_t kDay = 86400;

FILETIME FileTimeAt(std::int64_t secondsSince1970) {
  ULARGE_INTEGER ticks;
  ticks.QuadPart = 116444736000000000ULL + static_cast<std::uint64_t>(secondsSince1970) * 10000000ULL;
  return FILETIME{ticks.LowPart, ticks.HighPart};
}

// A file made at `created` and last written at `written` (seconds since 1970), its
// folders made as needed.
void PlaceFile(const std::wstring& path, std::int64_t created, std::int64_t written) {
  const std::wstring::size_type slash = path.rfind(L'\\');
  ::CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr, CREATE_ALWAYS,
                                      0, nullptr));
  ASSERT_TRUE(file) << "cannot create the test file";
  ::WriteFile(file.get(), "x", 1, nullptr, nullptr);
  const FILETIME made = FileTimeAt(created);
  const FILETIME changed = FileTimeAt(written);
  ASSERT_TRUE(::SetFileTime(file.get(), &made, nullptr, &changed));
}

struct Row {
  const wchar_t* name;
  std::int64_t created;  // relative to the cut-off
  std::int64_t written;
  bool kept;
};

// Places the rows, runs `remove`, and checks which files are left.
template <typename Remove>
void CheckRows(const ScratchFolder& folder, std::int64_t cutOff, std::initializer_list<Row> rows, Remove remove) {
  for (const Row& row : rows) PlaceFile(folder / row.name, cutOff + row.created, cutOff + row.written);
  remove();
  for (const Row& row : rows) {
    EXPECT_EQ(FileExists(folder / row.name), row.kept) << testing::PrintToString(std::wstring(row.name));
  }
}

TEST(LogRetention, CutOffIsLocalMidnightLessTheAgeAndNeverOverflows) {
  std::tm midnight{};
  midnight.tm_year = 2024 - 1900;
  midnight.tm_mon = 2;
  midnight.tm_mday = 7;
  EXPECT_EQ(RetentionCutOff(kTenthOfMarch, 3), static_cast<std::int64_t>(::_mktime64(&midnight)));
  // 30000 days in seconds no longer fits 32 bits; the cut-off lies long before 1970.
  EXPECT_LT(RetentionCutOff(kTenthOfMarch, 30000), 0);
}

TEST(LogRetention, PlainDailyFilesOfThisPathAndInstanceOlderThanTheAgeGo) {
  ScratchFolder folder(L"vret-plain-");
  const PlainFileName name = BuildPlainFileName(folder / L"trace.txt", 2, true, kTenthOfMarch);
  const std::int64_t cutOff = RetentionCutOff(kTenthOfMarch, 3);  // 7 March, 00:00
  CheckRows(folder, cutOff,
            {
                {L"trace-002-20240306.txt", -kDay, -1, false},
                {L"trace-002-20240305_001.txt", -kDay, -kDay, false},
                {L"trace-002-20240307.txt", -kDay, 0, true},  // 7 March 00:00 is not before it
                {L"trace-002-20240310.txt", 0, 3 * kDay, true},
                {L"trace-002.txt", -kDay, -kDay, true},        // not a daily file
                {L"trace.txt", -kDay, -kDay, true},
                {L"trace-003-20240301.txt", -kDay, -kDay, true},  // another instance
                {L"trace-002-20240301.log", -kDay, -kDay, true},  // another extension
            },
            [&] { DeleteOldPlainFiles(name.stem, name.extension, kTenthOfMarch, 3); });
}

TEST(LogRetention, NoAgeOrAnAgeBeyondTheCalendarDeletesNothing) {
  ScratchFolder folder(L"vret-none-");
  const PlainFileName name = BuildPlainFileName(folder / L"trace.txt", 0, true, kTenthOfMarch);
  const StructuredNameParts parts{folder.path(), L"PFX", L"ALPHA", L"comp", 1, true, true};
  for (const int age : {0, -1, 30000, 0x7FFFFFFF}) {
    SCOPED_TRACE(age);
    CheckRows(folder, RetentionCutOff(kTenthOfMarch, 3),
              {
                  {L"trace20240301.txt", -kDay, -kDay, true},
                  {L"PFXALPHA_comp_01_20240301_0001.txt", -kDay, -kDay, true},
                  {L"20240301\\PFXALPHA_comp_01_20240301_0001.txt", -kDay, -kDay, true},
              },
              [&] {
                DeleteOldPlainFiles(name.stem, name.extension, kTenthOfMarch, age);
                DeleteOldStructuredFiles(parts, kTenthOfMarch, age);
              });
  }
}

TEST(LogRetention, StructuredFilesOfThisHostComponentAndInstanceGoWithTheirEmptiedFolders) {
  ScratchFolder folder(L"vret-structured-");
  const StructuredNameParts parts{folder.path(), L"PFX", L"ALPHA", L"comp", 1, true, true};
  CheckRows(folder, RetentionCutOff(kTenthOfMarch, 3),
            {
                // In the root the last write counts.
                {L"PFXALPHA_comp_01_20240301_0001.txt", kDay, -1, false},
                {L"other_ALPHA_comp_01_20240301_0002.txt", kDay, -1, false},  // any prefix
                {L"logALPHA_comp_01_20240301_0003.txt", kDay, -1, false},
                {L"XALPHA_comp_01_20240301_0001.txt", -kDay, -kDay, true},     // host XALPHA
                {L"PFXALPHA_comp_01_20240307_0001.txt", -kDay, 0, true},
                {L"PFXBETA_comp_01_20240301_0001.txt", -kDay, -kDay, true},    // another host
                {L"PFXALPHA_other_01_20240301_0001.txt", -kDay, -kDay, true},  // another component
                {L"PFXALPHA_comp_02_20240301_0001.txt", -kDay, -kDay, true},   // another instance
                // Date folders (which of the two stamps counts there is shown below).
                {L"20240301\\PFXALPHA_comp_01_20240301_0001.txt", -1, -1, false},
                {L"20240302\\PFXALPHA_comp_01_20240302_0001.txt", -kDay, -kDay, false},
                {L"20240302\\notes.txt", -kDay, -kDay, true},
                {L"20240309\\PFXALPHA_comp_01_20240309_0001.txt", 0, 0, true},
                {L"2024-03\\PFXALPHA_comp_01_20240301_0001.txt", -kDay, -kDay, true},  // not a date folder
            },
            [&] { DeleteOldStructuredFiles(parts, kTenthOfMarch, 3); });
  EXPECT_FALSE(FileExists(folder / L"20240301")) << "the emptied date folder is removed";
  EXPECT_TRUE(FileExists(folder / L"20240302")) << "a folder that still holds a file stays";
}

void WINAPI MorningOfTheTenth(SYSTEMTIME* now) { *now = SYSTEMTIME{2024, 3, 0, 10, 9, 0, 0, 0}; }

// Wine keeps no creation time of its own (it answers the last write), so which stamp
// counts is shown on found-file records built here.
TEST(LogRetention, DateFoldersJudgeByCreationAndTheRootByLastWrite) {
  const std::int64_t cutOff = RetentionCutOff(kTenthOfMarch, 3);
  const struct {
    std::int64_t created;
    std::int64_t written;
    bool byCreation;
    bool old;
  } cases[] = {
      {-1, kDay, true, true},   {0, -kDay, true, false},  {kDay, -1, false, true},
      {-kDay, 0, false, false}, {-kDay, -kDay, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.created << " " << c.written << " " << c.byCreation);
    WIN32_FIND_DATAW found{};
    found.ftCreationTime = FileTimeAt(cutOff + c.created);
    found.ftLastWriteTime = FileTimeAt(cutOff + c.written);
    EXPECT_EQ(IsOldLogFile(found, c.byCreation, cutOff), c.old);
  }
}

// Retention runs when a daily file is opened, and only then.
TEST(LogRetention, OpeningADailyFileDeletesTheOldOnesAndOnlyDailyFilesDo) {
  ScratchFolder folder(L"vret-open-");
  const std::int64_t old = RetentionCutOff(kTenthOfMarch, 3) - kDay;
  DebugLogger logger;
  logger.SetReportOnOpen(false);
  logger.SetLocalTimeSource(&MorningOfTheTenth);
  logger.SetDebugFilePath(folder / L"trace.txt");
  logger.SetDebugLogMaxDailyFileAge(3);

  PlaceFile(folder / L"trace20240301.txt", old, old);
  ASSERT_TRUE(logger.OpenDebugFile());
  logger.CloseDebugFile();
  EXPECT_TRUE(FileExists(folder / L"trace20240301.txt")) << "daily files off";

  DebugLogger::DebugFileLayout layout;
  layout.dailyFiles = true;
  logger.SetDebugFileLayout(layout);
  ASSERT_TRUE(logger.OpenDebugFile());
  logger.CloseDebugFile();
  EXPECT_FALSE(FileExists(folder / L"trace20240301.txt"));
  EXPECT_TRUE(FileExists(folder / L"trace20240310.txt"));
}

}  // namespace
