#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// What the user asked varrowmere-logger to do.
struct LoggerOptions {
  std::vector<std::wstring> messages;  // one record each
  std::wstring inputFile;              // -f: one record per line of the file ("-": standard input)
  bool readStdin = false;              // --stdin: one record per line of standard input
  bool skipEmptyLines = false;         // -e
  long long count = 0;                 // generated records per thread
  int threads = 1;
  int level = 3;
  DWORD eventId = 0;
  std::wstring userText;
  std::wstring application = L"varrowmere-logger";
  bool console = false;
  bool copyToStandardError = false;  // -s
  UINT consoleCodePage = 0;          // of a piped or redirected console; 0 the system's
  std::wstring syslogServers;        // comma-separated collectors, host[:port[/tcp|/tls|/relp|/relp+tls]]
  int syslogFacility = 0;
  bool noSyslogHeader = false;
  bool nonblockingSyslog = false;
  std::wstring syslogCa;              // the CA of the TLS collectors (PEM or DER)
  std::wstring syslogCert;            // the client certificate for TLS collectors (PFX)
  std::wstring syslogCertPassword;    // its password
  long long syslogHeldBytes = -1;     // -1 keeps the logger's own bound on lines held per collector
  bool eventLogGiven = false;  // --event-log or --no-event-log was given
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
  int encoding = -1;    // -1 leaves it to the settings key
  int maxAgeDays = -1;  // -1 leaves it to the settings key
  bool report = true;   // the environment report heads every new file
  bool help = false;
  bool version = false;

  // Whether the command line named a debug log file, syslog collectors or the event log:
  // without any of them (or --console) the console is the output.
  bool NamesAnOutput() const {
    return console || !filePath.empty() || structured || !syslogServers.empty() || (eventLogGiven && eventLog);
  }
  bool WritesDebugFile() const { return !filePath.empty() || structured; }
  // Standard input is read on request, and when nothing else gives the records.
  bool ReadsStandardInput() const {
    return readStdin || inputFile == L"-" || (messages.empty() && inputFile.empty() && count == 0);
  }
};

// Parses the arguments after the program name, GNU style: "--name value" and
// "--name=value", short options alone or bundled ("-se", "-p4", "-p 4"), options and
// messages in any order, "--" ends the options. Stops at --help or --version. On bad
// usage answers false with a one-line reason in *error.
bool ParseLoggerOptions(const std::vector<std::wstring>& arguments, LoggerOptions* options, std::wstring* error);

// The --help text: every option with what it does.
std::wstring LoggerUsage();

extern const wchar_t* const kLoggerVersion;
