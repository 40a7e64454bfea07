#pragma once

#include <windows.h>

#include <optional>
#include <string>

// The names of debug log files: plain names made from the owner's path, structured names
// made from a root, a prefix, the host, a component and an instance, and the numbers that
// tell the files of one name apart.

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
  std::wstring prefix;
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
// The search pattern that lists the structured files of every prefix for this host,
// component, instance (and date), with any sequence number; empty when too long. What
// it lists is then judged by ParseStructuredFileName.
std::wstring StructuredSearchPattern(const StructuredNameParts& parts, const LogFileDate& date);

// What a bare file name says when it is a structured file of these parts: its date (when
// daily files are on, any eight digits) and its sequence number. Nothing for a name of
// another host, component or instance. The prefix is free, but the host must be the whole
// host: the name starts with it, or with the owner's own prefix before it, or with a
// prefix whose last character no host name of ours can hold (letters are upper-cased in
// it, so a lower-case letter, "_" or "." ends a prefix). So for host VM the file
// "XVM_..." belongs to host XVM and is never counted, numbered or deleted as VM's.
struct StructuredFileName {
  std::wstring dateDigits;  // empty without daily files
  int sequence = 0;
};
std::optional<StructuredFileName> ParseStructuredFileName(const wchar_t* fileName, const StructuredNameParts& parts);

// The highest sequence number among this date's structured files of these parts; 0 when
// there are none. Numbers go on past their four digits.
int FindHighestSequenceNumber(const StructuredNameParts& parts, const LogFileDate& date);

// A plain name cut in two around where a daily date and a file number go: the path
// without its extension (from the last "." of the file's own name), with "-NNN" for a
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
// The number in a bare file name of the form `<prefix>_<digits><extension>` (three
// digits at least, as numbered names are written), or nothing.
std::optional<int> NumberAfter(const wchar_t* fileName, const std::wstring& prefix, const std::wstring& extension);
// One past the highest file number of `name`'s numbered files in its folder; 0 when none.
// Numbers go on past their three digits, so a new file is never one that exists.
int NextPlainFileNumber(const PlainFileName& name);

// Creates the missing folders of `path` (only "\" separates them; a network path's
// server and share are not created) and the file itself when it does not exist. 0 on
// success; -1 with errno set on failure (EINVAL for a network path with no "\" after the
// server, ENAMETOOLONG for a path longer than kMaxLogFileNameChars).
int EnsureFilePath(const std::wstring& path);

// The computer's DNS host name as file names carry it: at most this many characters,
// a-z upper-cased; empty when it cannot be read.
inline constexpr std::size_t kLogHostNameChars = 32;
std::wstring LogHostName();
