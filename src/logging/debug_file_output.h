#pragma once

#include <windows.h>

#include <cstdint>
#include <locale>
#include <string>
#include <vector>

#include "win32/unique_resource.h"

class DebugLogger;

// The date a debug log file was opened for: the day its daily name carries and the day
// whose end makes the logger start the next file.
struct LogFileDate {
  int year = 0;   // e.g. 2024
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  bool operator==(const LogFileDate& other) const noexcept {
    return year == other.year && month == other.month && day == other.day;
  }
  bool operator!=(const LogFileDate& other) const noexcept { return !(*this == other); }
};

// The parts of a structured file name: where the files live and whose they are.
struct StructuredNameParts {
  std::wstring root;
  std::wstring prefix;  // "*" in search patterns
  std::wstring host;
  std::wstring component;
  int instance = 0;
  bool dailyFiles = false;
  bool dateFolders = false;
};

// Names hold at most this many characters (a terminator not counted); longer names are
// refused, never cut into another file's name.
inline constexpr std::size_t kMaxLogFileNameChars = 256;

// The structured name of one file: in the root or its date folder, with the date when
// daily files are on, and the sequence number. False (output emptied) when the name does
// not fit kMaxLogFileNameChars or `capacity` less its terminator.
bool BuildStructuredFileName(const StructuredNameParts& parts, const LogFileDate& date, int sequence,
                             wchar_t* output, std::size_t capacity);
// The search pattern matching the structured files of every prefix for this host,
// component, instance (and date), any sequence number; empty when too long.
std::wstring StructuredSearchPattern(const StructuredNameParts& parts, const LogFileDate& date);
// The highest sequence number among the files matching StructuredSearchPattern; 0 when
// nothing matches.
int FindHighestSequenceNumber(const StructuredNameParts& parts, const LogFileDate& date);

// A plain name cut in two around where a daily date and a file number go: the path's
// first 256 characters without their extension (from the last "."), with "-NNN" for a
// non-zero instance and "-" after it when daily files are on, then the date when daily
// files are on; the extension follows separately.
struct PlainFileName {
  std::wstring stem;       // everything before the date
  std::wstring dated;      // the stem and the date (the stem alone without daily files)
  std::wstring extension;  // from the last "." on, or empty
  // The name as built, or with "_NNN" before the extension for a numbered file.
  std::wstring Name() const { return dated + extension; }
  std::wstring Numbered(int number) const;
};
PlainFileName BuildPlainFileName(const std::wstring& path, int instance, bool dailyFiles, const LogFileDate& date);
// One past the highest file number of `name`'s numbered files in its folder; 0 when none.
int NextPlainFileNumber(const PlainFileName& name);

// Creates the missing folders of `path` (only "\" separates them; a network path's
// server and share are not created) and the file itself when it does not exist, then
// checks the file can be opened for appending. 0 on success; -1 with errno set on
// failure (22, invalid argument, for a network path with no "\" after the server).
int EnsureFilePath(const std::wstring& path);

// The computer's DNS host name, at most 32 characters, a-z upper-cased; empty when it
// cannot be read.
std::wstring LogHostName();

// Deletes the daily debug log files older than maxAgeDays whole days before the date of
// the open file (local midnight). Nothing is deleted for an age of 0 or less; files that
// cannot be listed or deleted are skipped without a report. `fileDate` is the date of the
// file being opened.
void DeleteOldPlainFiles(const std::wstring& stem, const std::wstring& extension, const LogFileDate& fileDate,
                         int maxAgeDays);
void DeleteOldStructuredFiles(const StructuredNameParts& parts, const LogFileDate& fileDate, int maxAgeDays);
// The moment before which a file counts as old, in seconds since 1970: local midnight
// of fileDate less maxAgeDays days, in 64 bits so that no age overflows into the future.
std::int64_t RetentionCutOff(const LogFileDate& fileDate, int maxAgeDays);
// Whether a found file is older than the cut-off: by its creation time inside date
// folders (a file there is never rewritten under another date), else by its last write.
bool IsOldLogFile(const WIN32_FIND_DATAW& found, bool byCreationTime, std::int64_t cutOff);

// The debug log file output: the file, where the next line goes, the date and name of
// the file, the encoding in use and the retry clock. Each line is encoded and written
// with one WriteFile, so it reaches the system at once and needs no flush.
//
// Concurrency: everything here belongs to the logger thread while it runs, and to the
// owner before Start and after Stop. The file is shared for reading and writing, so other
// processes may read (or tail) it while it is written.
class DebugFileOutput {
 public:
  // Encodings of DebugLogEncoding; any other value writes as kSingleByte.
  enum Encoding { kSingleByte = 0, kUtf8 = 1, kUtf16LE = 2 };

  // Reads its settings from the owner when it opens and writes.
  explicit DebugFileOutput(DebugLogger& owner);
  DebugFileOutput(const DebugFileOutput&) = delete;
  DebugFileOutput& operator=(const DebugFileOutput&) = delete;

  // Opens (or keeps) the file the settings name. True also when the output is off or has
  // no path; false when the file could not be created, opened or started.
  bool Open();
  // Writes the end-of-log marker when a size limit is set, then closes. Always true.
  bool Close();
  // Close, then Open; tells the owner's file-opened listener about a file now open.
  bool Reopen();
  // One record: applies the output's switch and threshold (a record they hold back
  // counts as written), writes it and then wraps or starts a new file at the size limit.
  bool Write(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* message, DWORD eventId,
             const wchar_t* userText);
  // Writes the record's line (its lines with split multi-line messages on) and answers
  // the file position after it, or -1 when it could not be written.
  std::int64_t WriteLine(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* message,
                         DWORD eventId, const wchar_t* userText);
  bool WriteHeader();
  // -1 empty file, 0 no header, 1 UTF-8 header, 2 UTF-16LE header, -2 unreadable or a
  // header of another kind.
  int DetectEncoding();

  // The record loop's check before each record: retries a file that is not open (or has
  // failed) once more than the retry interval has passed, and starts the next file when
  // the date changes with daily files on.
  void CheckBeforeRecord();
  // Starts the retry interval at the logger thread's start.
  void StartRetryClock();

  bool IsOpen() const noexcept { return static_cast<bool>(file_); }
  bool Failed() const noexcept { return failed_; }
  const std::wstring& FileName() const noexcept { return fileName_; }
  const LogFileDate& FileDate() const noexcept { return fileDate_; }
  std::int64_t Position() const noexcept { return position_; }
  // Records whose line could not be written (no file, or the system refused the write).
  std::uint64_t LostLines() const noexcept { return lostLines_; }

 private:
  bool OpenFile(bool startNewFile, int depth);
  // The name of the file to open, or empty (with errno set) when no name fits.
  std::wstring ChooseFileName(bool startNewFile);
  StructuredNameParts StructuredParts() const;
  void CloseWithoutMarker();
  // Whether a line also carries the end-of-log marker after it (see WriteEncoded).
  enum class EndMark { kNone, kWhereOlderLinesFollow };
  // Encodes and writes text at the write position in one call; false when the system
  // took less than all of it, with the position left where it was. With a size limit, a
  // line written where older lines follow it (after a wrap, or when continuing at the
  // marker) carries the marker right behind it in the same call, and the position moves
  // past the line only: the next line overwrites that marker. So the newest writing is
  // marked even when the process is killed before it closes the file.
  bool WriteEncoded(const wchar_t* text, std::size_t length, EndMark mark = EndMark::kNone);
  // The text's bytes in the open file's encoding; `capacity` holds four per character.
  std::size_t Encode(const wchar_t* text, std::size_t length, char* bytes, std::size_t capacity) const;
  // Tells a failed write once per run of the same Win32 error.
  void ReportWriteError(DWORD error);
  std::int64_t FindEndOfLogMarker() const;
  bool SeekTo(std::int64_t position);
  // False when a line could not be written; the walk still runs to its end.
  bool WriteThreadReport();
  LogFileDate Today() const;

  DebugLogger& owner_;
  UniqueFileHandle file_;
  std::wstring fileName_;
  // Where the next line goes. The logger thread is the only writer, so it is tracked
  // here rather than asked of the system for every line.
  std::int64_t position_ = 0;
  // The file's size as far as this output has made it: the end of the older lines that
  // follow the write position after a wrap.
  std::int64_t end_ = 0;
  // A write or open failed; a line that finds no open file then waits for the retry.
  bool failed_ = false;
  Encoding encoding_ = kSingleByte;  // of the open file
  LogFileDate fileDate_;
  DWORD lastCheck_ = 0;  // tick count of the last retry
  DWORD lastOpenError_ = 0;  // reported once per run of the same Win32 error
  std::uint64_t lostLines_ = 0;
  DWORD lastWriteError_ = 0;  // the same for writes
  // The conversions of the multi-byte encodings, kept for the life of the output.
  std::locale utf8_;
  std::locale utf16_;
  std::vector<char> buffer_;  // the encoded line, grown to the longest one
};
