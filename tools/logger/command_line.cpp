#include "command_line.h"

#include <cerrno>
#include <cwchar>
#include <cwctype>

const wchar_t* const kLoggerUsage =
    L"usage: varrowmere-logger [options] [message ...]\n"
    L"Logs each message argument as one record through the Varrowmere debug logger.\n"
    L"\n"
    L"  --stdin               log each line of standard input as one record\n"
    L"  --count N             log N generated records from each thread\n"
    L"  --threads M           number of logging threads for --count (default 1)\n"
    L"  --level N             level of the records, 0-15 (default 3)\n"
    L"  --event-id N          event identifier of the records (default 0: the level's)\n"
    L"  --user TEXT           user text of the records\n"
    L"  --app NAME            application name: event source and syslog field\n"
    L"                        (default varrowmere-logger)\n"
    L"  --console             write records to the console\n"
  L"  --syslog LIST         send records to syslog collectors: host[:port[/tcp]],...\n"
  L"                        (UDP port 514 unless an entry says otherwise)\n"
  L"  --facility N          syslog facility, 0-23 (default 0)\n"
  L"  --no-header           syslog lines without time stamp and host name\n"
  L"  --nonblocking-syslog  drop a line rather than wait for a collector that is slow\n"
  L"  --event-log           write records to the Windows event log (the default)\n"
  L"  --no-event-log        do not write to the Windows event log\n"
    L"  --settings-key PATH   registry key (below HKLM) the logger re-reads\n"
    L"  --current-user        the settings key is below HKCU\n"
    L"  --queue-limit N       queue length above which only the debug file is served\n"
    L"  --queue-bytes N       bytes queued records may hold before callers wait, 0 for\n"
    L"                        no bound (default 67108864)\n"
  L"  --file PATH           write the debug log file PATH (folders are created)\n"
  L"  --daily               one file per day: the date goes into the name\n"
  L"  --max-size N          size limit of the file in bytes, 0 for none (default 2000000)\n"
  L"  --new-file-when-full  at the size limit start a numbered file instead of wrapping\n"
  L"  --instance N          instance number placed in file names\n"
  L"  --structured ROOT PREFIX COMPONENT\n"
  L"                        structured names: ROOT\\PREFIX<HOST>_COMPONENT_NN_SSSS.txt\n"
  L"  --date-folders        structured files go into a folder per date\n"
  L"  --split-lines         one file line per line of a message\n"
  L"  --encoding 0|1|2      file encoding: 0 single byte, 1 UTF-8, 2 UTF-16LE\n"
  L"  --max-age DAYS        with --daily, delete files older than DAYS days\n"
  L"  --no-report           no environment report at the head of the file\n"
    L"  --help                show this text\n"
    L"\n"
    L"On exit prints to standard error: summary: records=N seconds=S rate=R/s\n";

namespace {

// A whole decimal (or 0x-prefixed hexadecimal) number within [low, high].
bool ParseNumber(const std::wstring& text, long long low, long long high, long long* value) {
  if (text.empty() || std::iswspace(text[0])) return false;
  wchar_t* end = nullptr;
  errno = 0;
  const long long parsed = std::wcstoll(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != L'\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

}  // namespace

bool ParseLoggerOptions(const std::vector<std::wstring>& arguments, LoggerOptions* options,
                        std::wstring* error) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    const auto value = [&](std::wstring* out) {
      if (i + 1 >= arguments.size()) {
        *error = argument + L" needs a value";
        return false;
      }
      *out = arguments[++i];
      return true;
    };
    const auto number = [&](long long low, long long high, long long* out) {
      std::wstring text;
      if (!value(&text)) return false;
      if (!ParseNumber(text, low, high, out)) {
        *error = argument + L" takes a number from " + std::to_wstring(low) + L" to " + std::to_wstring(high) +
                 L", not \"" + text + L"\"";
        return false;
      }
      return true;
    };

    long long n = 0;
    if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
      options->help = true;
    } else if (argument == L"--stdin") {
      options->readStdin = true;
    } else if (argument == L"--console") {
      options->console = true;
    } else if (argument == L"--no-header") {
      options->syslogHeader = false;
    } else if (argument == L"--nonblocking-syslog") {
      options->blockingSyslog = false;
    } else if (argument == L"--event-log") {
      options->eventLog = true;
    } else if (argument == L"--no-event-log") {
      options->eventLog = false;
    } else if (argument == L"--facility") {
      if (!number(0, 23, &n)) return false;
      options->syslogFacility = static_cast<int>(n);
    } else if (argument == L"--syslog") {
      if (!value(&options->syslogServers)) return false;
    } else if (argument == L"--current-user") {
      options->currentUser = true;
    } else if (argument == L"--count") {
      if (!number(0, 1'000'000'000'000LL, &options->count)) return false;
    } else if (argument == L"--threads") {
      if (!number(1, 64, &n)) return false;
      options->threads = static_cast<int>(n);
    } else if (argument == L"--level") {
      if (!number(0, 15, &n)) return false;
      options->level = static_cast<int>(n);
    } else if (argument == L"--event-id") {
      if (!number(0, 0xFFFFFFFFLL, &n)) return false;
      options->eventId = static_cast<DWORD>(n);
    } else if (argument == L"--queue-limit") {
      if (!number(0, 0x7FFFFFFF, &n)) return false;
      options->queueLimit = static_cast<int>(n);
    } else if (argument == L"--queue-bytes") {
      // The same range on both architectures, so a command line means the same on each.
      if (!number(0, 0xFFFFFFFFLL, &options->queueBytes)) return false;
    } else if (argument == L"--daily") {
      options->dailyFiles = true;
    } else if (argument == L"--new-file-when-full") {
      options->newFileWhenFull = true;
    } else if (argument == L"--date-folders") {
      options->dateFolders = true;
    } else if (argument == L"--split-lines") {
      options->splitLines = true;
    } else if (argument == L"--no-report") {
      options->report = false;
    } else if (argument == L"--file") {
      if (!value(&options->filePath)) return false;
    } else if (argument == L"--max-size") {
      if (!number(0, 0x7FFFFFFF, &options->maxFileSize)) return false;
    } else if (argument == L"--instance") {
      if (!number(0, 999, &n)) return false;
      options->instance = static_cast<int>(n);
    } else if (argument == L"--encoding") {
      if (!number(0, 2, &n)) return false;
      options->encoding = static_cast<int>(n);
    } else if (argument == L"--max-age") {
      if (!number(0, 0x7FFFFFFF, &n)) return false;
      options->maxAgeDays = static_cast<int>(n);
    } else if (argument == L"--structured") {
      options->structured = true;
      if (!value(&options->logRoot) || !value(&options->filePrefix) || !value(&options->component)) return false;
    } else if (argument == L"--user") {
      if (!value(&options->userText)) return false;
    } else if (argument == L"--app") {
      if (!value(&options->application)) return false;
      if (options->application.empty()) {
        *error = L"--app needs a non-empty name";
        return false;
      }
    } else if (argument == L"--settings-key") {
      if (!value(&options->settingsKey)) return false;
    } else if (argument == L"--") {
      options->messages.insert(options->messages.end(), arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                               arguments.end());
      break;
    } else if (argument.size() > 1 && argument[0] == L'-') {
      *error = L"unknown option " + argument;
      return false;
    } else {
      options->messages.push_back(argument);
    }
  }
  if (!options->help && options->messages.empty() && !options->readStdin && options->count == 0) {
    *error = L"nothing to log: give messages, --stdin or --count";
    return false;
  }
  return true;
}
