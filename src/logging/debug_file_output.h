#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <locale>
#include <string>
#include <vector>

#include "logging/log_file_names.h"
#include "logging/once_per_run.h"
#include "logging/record_view.h"
#include "win32/unique_resource.h"

// The debug log file output: the file, where the next line goes, the date and name of
// the file, the encoding in use and the retry clock.
//
// Lines are written together. A write to the system costs many times what formatting a
// line does, so Write encodes a record's lines into the batch of lines waiting, and Flush
// writes the batch with one WriteFile; the logger thread flushes at the end of every
// drain, so when it waits, every line it took is in the system. Everything that must see
// the file as written flushes first: closing, opening (again, or the next day's file),
// and the size limit, where the batch is written up to the record that passed the limit
// before the file wraps or the next numbered file opens. So the rules of single lines
// hold for batches: the limit falls between two records, each batch ends in the end-of-
// log marker where older lines follow it, and no line is written into a file it was not
// meant for.
//
// A file opens in one place only (Open, from the logger's start, its record loop, a
// switch, or the size limit's new file), and every file begins with its head: the date
// line, the thread report and the environment report, written straight into it before
// any queued record. Writing a line never opens a file, and the head's lines are never
// held against the size limit, so no write can lead to another open.
//
// One writer per file: the write position is this output's own (a wrap moves it back to
// the start, a reopen to the end-of-log marker), and a second writer's lines would tear
// and overwrite this one's. So the file is held for writing by one output alone; another
// opener, in this process or another, is refused with the system's reason and tries again
// at the retry interval.
//
// The output knows the record and its own settings, never the logger that composes it:
// what goes into a file's head, and what becomes of its failure reports, is the hooks'.
//
// Concurrency: everything here belongs to the logger thread while it runs, and to the
// owner before Start and after Stop. Other processes may read (or tail) the file while
// it is written.
class DebugFileOutput {
 public:
  // Encodings of DebugLogEncoding; any other value writes as kSingleByte.
  enum Encoding { kSingleByte = 0, kUtf8 = 1, kUtf16LE = 2 };

  // How the owner names and lays out the files.
  struct Layout {
    std::wstring logRootDirectory;  // folder of structured names
    std::wstring fileNamePrefix;
    std::wstring componentName;
    int instanceNumber = 0;  // placed in file names
    bool dailyFiles = false;  // one file per day; the record loop watches the date
    bool dateFolders = false;  // structured names go into a folder per date
    bool structuredFileNames = false;  // host, component and instance in the name
    bool newFileWhenFull = false;  // at the size limit start a numbered file, not wrap
    bool splitMultiLineMessages = false;  // one file line per text line
  };

  // Everything the output reads of its owner's settings; changes take effect at the next
  // open (names, encoding, age) or the next line (size limit, splitting).
  struct Settings {
    std::wstring path;  // the file of plain names, the root of structured ones; empty: no file
    Layout layout;
    int maxFileSize = 2000000;  // 0 or less: no limit
    int encoding = kSingleByte;
    int maxDailyFileAge = 0;  // days; 0 or less keeps old files
  };

  // The local date and time (GetLocalTime's form) and the millisecond tick count; a test
  // drives them itself.
  using LocalTimeSource = void(WINAPI*)(SYSTEMTIME*);
  using TickSource = DWORD(WINAPI*)();
  struct Clocks {
    LocalTimeSource localTime = &::GetLocalTime;
    TickSource ticks = &::GetTickCount;
  };

  // What the output asks of, and tells, whoever composes it. Each may be empty.
  struct Hooks {
    // Writes the head of a file just opened, with WriteHeadLine; false when a line of it
    // could not be written.
    std::function<bool(DebugFileOutput& file)> writeHead;
    // A failure of the file, with the system's reason, once per run of the same error.
    std::function<void(const std::wstring& text)> problem;
    // A file was opened again (after a close, a retry, a change of date, the limit).
    std::function<void()> reopened;
  };

  explicit DebugFileOutput(Hooks hooks = {});
  DebugFileOutput(const DebugFileOutput&) = delete;
  DebugFileOutput& operator=(const DebugFileOutput&) = delete;

  void SetSettings(const Settings& settings) { settings_ = settings; }
  const Settings& GetSettings() const noexcept { return settings_; }
  void SetClocks(const Clocks& clocks) noexcept { clocks_ = clocks; }

  // Opens (or keeps) the file the settings name and writes its head. True also when
  // there is no path; false when the file could not be created, opened or started.
  bool Open();
  // Writes the end-of-log marker when a size limit is set, then closes. Always true.
  bool Close();
  // Close, then Open; tells the reopened hook about a file now open.
  bool Reopen();
  // Adds one record's line (its lines with split multi-line messages on) to the batch;
  // writes the batch once it is full, or when the record passes the size limit, and then
  // wraps or opens the next file. False when its line could not be written (no file is
  // open, or the write that took it failed); no file is opened for it.
  bool Write(const RecordView& record);
  // Writes the waiting lines with one call. False when the system refused them: the
  // failure is told, each of their records counts as lost, and the next lines go where
  // these would have.
  bool Flush();
  // One line of a file's head, at the clock's time, from this thread, written at once:
  // never held against the size limit. Meant for the writeHead hook.
  bool WriteHeadLine(int level, const wchar_t* text);
  bool WriteHeader();
  // -1 empty file, 0 no header, 1 UTF-8 header, 2 UTF-16LE header, -2 unreadable or a
  // header of another kind.
  int DetectEncoding();

  // The record loop's check before each record: opens the file when a line could come
  // and none is open, retries a file that failed once more than the retry interval has
  // passed, and starts the next file when the date changes with daily files on.
  void CheckBeforeRecord();
  // Starts the retry interval at the logger thread's start.
  void StartRetryClock();
  static constexpr std::int32_t kRetryMs = 300000;

  bool IsOpen() const noexcept { return static_cast<bool>(file_); }
  const std::wstring& FileName() const noexcept { return fileName_; }
  // Where the next line goes: after the lines waiting, if any.
  std::int64_t Position() const noexcept { return position_ + static_cast<std::int64_t>(pendingBytes_); }
  // Records whose line could not be written (no file, or the system refused the write):
  // a record of several lines counts once.
  std::uint64_t LostLines() const noexcept { return lostLines_; }
  // What last kept the file from being created, opened or written, as it was reported
  // (without its "[DIAG] " mark); empty when nothing has failed yet.
  const std::wstring& LastProblem() const noexcept { return lastProblem_; }

 private:
  bool OpenFile(bool startNewFile, int depth);
  // The name of the file to open, or empty (with errno set) when no name fits.
  std::wstring ChooseFileName(bool startNewFile);
  StructuredNameParts StructuredParts() const;
  void CloseWithoutMarker();
  // Formats the record's line (its lines with split multi-line messages on) and adds it
  // to the waiting lines. A file must be open.
  void AddLines(const RecordView& record);
  // The record's line straight into the waiting bytes, when its texts are printable ASCII
  // and the line fits the formatting limit whole, in a single-byte or UTF-8 file; false
  // (nothing added) for any other line.
  bool AddPlainLine(const RecordView& record);
  // Whether a record line ending at `position` has passed the size limit. The head does
  // not count against the records' room: where a head takes more than half the limit, the
  // file is full at its head plus half the limit, so every file takes records.
  bool PastLimit(std::int64_t position) const;
  bool Wrap();
  // Where the next waiting bytes go, with room for `bytes` of them.
  char* PendingRoom(std::size_t bytes);
  // Encodes text onto the waiting lines.
  void AddEncoded(const wchar_t* text, std::size_t length);
  // Writes the waiting lines at the write position in one call; false when the system
  // took less than all of them, with the position left where it was. With a size limit,
  // lines written where older lines follow them (after a wrap, or when continuing at the
  // marker) carry the marker right behind them in the same call, and the position moves
  // past the lines only: the next lines overwrite that marker. So the newest writing is
  // marked even when the process is killed before it closes the file. No lines with a
  // mark writes the marker alone. Record lines use kUnlessPastLimit: lines that pass the
  // limit are marked by the wrap that follows them at once; marked themselves, their
  // marker would stay behind at the old end.
  enum class EndMark { kNone, kWhereOlderLinesFollow, kUnlessPastLimit };
  bool WritePending(EndMark mark);
  // Text written at once, after any lines waiting.
  bool WriteEncoded(const wchar_t* text, std::size_t length, EndMark mark = EndMark::kNone);
  // The text's bytes in the open file's encoding; `capacity` holds four per character.
  std::size_t Encode(const wchar_t* text, std::size_t length, char* bytes, std::size_t capacity) const;
  // Tells a failure of the file through the problem hook, once per run of the same
  // error, and keeps its text for LastProblem.
  void ReportProblem(const std::wstring& text, long error, OncePerRun* told);
  // The same for a failure the run time's errno tells.
  void ReportRunTimeProblem(const std::wstring& text);
  std::int64_t FindEndOfLogMarker() const;
  bool SeekTo(std::int64_t position);
  LogFileDate Today() const;

  Settings settings_;
  Clocks clocks_;
  Hooks hooks_;
  UniqueFileHandle file_;
  std::wstring fileName_;
  // Where the next write goes: the start of the waiting lines. This output is the file's
  // only writer, so the position is tracked here rather than asked of the system.
  std::int64_t position_ = 0;
  // The file's size as far as this output has made it: the end of the older lines that
  // follow the write position after a wrap.
  std::int64_t end_ = 0;
  // The bytes of the current file's head (the encoding header after a wrap).
  std::int64_t headBytes_ = 0;
  // A write or open failed; the record loop then opens again only at the retry.
  bool failed_ = false;
  Encoding encoding_ = kSingleByte;  // of the open file
  LogFileDate fileDate_;
  DWORD lastCheck_ = 0;  // tick count of the last retry
  // Failures told once per run: the run time's errors of making the file, the Win32
  // errors of opening it, and those of writing it.
  OncePerRun runTimeErrors_;
  OncePerRun openErrors_;
  OncePerRun writeErrors_;
  std::uint64_t lostLines_ = 0;
  std::wstring lastProblem_;
  // The conversions of the multi-byte encodings, kept for the life of the output.
  std::locale utf8_;
  std::locale utf16_;
  // The waiting lines, encoded: the first pendingBytes_ bytes of pending_, which keeps
  // its size between batches (with room for a line and a marker past a full batch), so
  // a line costs no allocation. The records they hold count as lost if the write fails.
  std::vector<char> pending_;
  std::size_t pendingBytes_ = 0;
  std::uint64_t pendingRecords_ = 0;
};
