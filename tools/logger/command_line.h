#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// What the user asked varrowmere-logger to do.
struct LoggerOptions {
  std::vector<std::wstring> messages;  // one record each
  bool readStdin = false;              // one record per line of standard input
  long long count = 0;                 // generated records per thread
  int threads = 1;
  int level = 3;
  DWORD eventId = 0;
  std::wstring userText;
  std::wstring application = L"varrowmere-logger";
  bool console = false;
  std::wstring syslogServers;  // comma-separated collectors, host[:port[/tcp]]
  int syslogFacility = 0;
  bool syslogHeader = true;
  bool blockingSyslog = true;
  bool eventLog = true;
  std::wstring settingsKey;
  bool currentUser = false;
  int queueLimit = 0;
  long long queueBytes = -1;  // -1 keeps the queue's own bound
  // The debug log file; none without a path or a structured root.
  std::wstring filePath;
  bool dailyFiles = false;
  long long maxFileSize = -1;  // -1 keeps the logger's own limit
  bool newFileWhenFull = false;
  int instance = 0;
  bool structured = false;
  std::wstring logRoot;
  std::wstring filePrefix;
  std::wstring component;
  bool dateFolders = false;
  bool splitLines = false;
  int encoding = 0;
  int maxAgeDays = 0;
  bool report = true;  // the environment report heads every new file
  bool help = false;
};

// Parses the arguments after the program name. On bad usage answers false with the
// reason in *error.
bool ParseLoggerOptions(const std::vector<std::wstring>& arguments, LoggerOptions* options,
                        std::wstring* error);

extern const wchar_t* const kLoggerUsage;
