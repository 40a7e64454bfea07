#include "command_line.h"

#include <cwctype>
#include <iterator>

const wchar_t* const kLoggerVersion = L"" VARROWMERE_VERSION;

namespace {

// One option as it stands on a command line: the name the user typed ("--level" or "-p")
// and its values, with the options being filled and the place for a reason.
struct GivenOption {
  std::wstring name;
  std::vector<std::wstring> values;
  LoggerOptions* options;
  std::wstring* error;

  const std::wstring& value() const { return values.front(); }

  // The value as a whole number within [low, high]: decimal digits, or with hex also
  // "0x" and hexadecimal digits. Leading zeros are decimal, never octal.
  bool Number(long long low, long long high, long long* out, bool hex = false) const {
    const std::wstring& text = value();
    std::size_t at = 0;
    const bool negative = !text.empty() && text[0] == L'-';
    if (negative) ++at;
    int base = 10;
    if (hex && !negative && text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
      base = 16;
      at = 2;
    }
    bool tooLarge = false;
    unsigned long long magnitude = 0;
    const std::size_t firstDigit = at;
    for (; at < text.size(); ++at) {
      const wchar_t c = text[at];
      int digit = -1;
      if (c >= L'0' && c <= L'9') digit = c - L'0';
      if (base == 16 && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
      if (base == 16 && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
      if (digit < 0) break;
      // Past any range an option has; more digits keep it there.
      if (magnitude > (1ULL << 60)) tooLarge = true;
      if (!tooLarge) magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    if (at == firstDigit || at != text.size()) {
      *error = name + (hex ? L" needs a decimal number or 0x and hexadecimal digits, not \""
                           : L" needs a decimal number, not \"") +
               text + L"\"";
      return false;
    }
    const long long parsed = tooLarge ? -1 : static_cast<long long>(magnitude);
    if (tooLarge || (negative && parsed != 0) || parsed < low || parsed > high) {
      *error = name + L" takes a number from " + std::to_wstring(low) + L" to " + std::to_wstring(high) + L", not \"" +
               text + L"\"";
      return false;
    }
    *out = parsed;
    return true;
  }

  template <typename Field>
  bool Number(long long low, long long high, Field* out, bool hex = false) const {
    long long parsed = 0;
    if (!Number(low, high, &parsed, hex)) return false;
    *out = static_cast<Field>(parsed);
    return true;
  }
};

enum class Takes { kNothing, kValue, kThreeValues };

struct OptionDefinition {
  const wchar_t* name;       // the long name, without its dashes
  wchar_t shortName;         // 0 for none
  Takes takes;
  const wchar_t* valueName;  // for the help text
  const wchar_t* help;       // one paragraph, wrapped for the help text
  bool (*apply)(const GivenOption& given);
};

bool Set(bool* field, bool value) {
  *field = value;
  return true;
}

// Text that must not be empty; `missing` says what the option then lacks.
bool SetText(const GivenOption& given, std::wstring* field, const wchar_t* missing) {
  *field = given.value();
  if (!field->empty()) return true;
  *given.error = given.name + L" needs " + missing;
  return false;
}

const OptionDefinition kOptions[] = {
    {L"input", L'f', Takes::kValue, L"FILE", L"log each line of FILE as one record (\"-\": standard input)",
     [](const GivenOption& g) { return SetText(g, &g.options->inputFile, L"a file name"); }},
    {L"stdin", 0, Takes::kNothing, nullptr,
     L"log each line of standard input as one record (the default when there is no message, no -f and no --count)",
     [](const GivenOption& g) { return Set(&g.options->readStdin, true); }},
    {L"skip-empty", L'e', Takes::kNothing, nullptr, L"skip empty input lines",
     [](const GivenOption& g) { return Set(&g.options->skipEmptyLines, true); }},
    {L"count", 0, Takes::kValue, L"N", L"log N generated records from each thread",
     [](const GivenOption& g) { return g.Number(1, 1'000'000'000'000LL, &g.options->count); }},
    {L"threads", 0, Takes::kValue, L"M", L"number of logging threads for --count (default 1)",
     [](const GivenOption& g) { return g.Number(1, 64, &g.options->threads); }},
    {L"level", L'p', Takes::kValue, L"N", L"level of the records, 0-15 (default 3)",
     [](const GivenOption& g) { return g.Number(0, 15, &g.options->level); }},
    {L"event-id", L'i', Takes::kValue, L"N",
     L"event identifier of the records, decimal or 0x hexadecimal (default 0: the level's)",
     [](const GivenOption& g) { return g.Number(0, 0xFFFFFFFFLL, &g.options->eventId, true); }},
    {L"user", 0, Takes::kValue, L"TEXT", L"user text of the records (debug file and syslog)",
     [](const GivenOption& g) {
       g.options->userText = g.value();
       return true;
     }},
    {L"app", L't', Takes::kValue, L"NAME",
     L"application name: event source and syslog field (default varrowmere-logger)",
     [](const GivenOption& g) { return SetText(g, &g.options->application, L"a non-empty name"); }},
    {L"console", 0, Takes::kNothing, nullptr,
     L"write records to standard output (the default when no --file, --structured, --syslog or --event-log is given)",
     [](const GivenOption& g) { return Set(&g.options->console, true); }},
    {L"stderr", L's', Takes::kNothing, nullptr, L"copy each console line to standard error",
     [](const GivenOption& g) { return Set(&g.options->copyToStandardError, true); }},
    {L"console-encoding", 0, Takes::kValue, L"NAME",
     L"encoding of console lines on a pipe or in a file: ansi (the console's code page, the default) or utf-8",
     [](const GivenOption& g) {
       std::wstring name = g.value();
       for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
       if (name == L"ansi") {
         g.options->consoleCodePage = 0;
       } else if (name == L"utf-8" || name == L"utf8") {
         g.options->consoleCodePage = CP_UTF8;
       } else {
         *g.error = g.name + L" takes ansi or utf-8, not \"" + g.value() + L"\"";
         return false;
       }
       return true;
     }},
    {L"event-log", 0, Takes::kNothing, nullptr, L"write records to the Windows event log (on by default)",
     [](const GivenOption& g) {
       g.options->eventLogGiven = true;
       return Set(&g.options->eventLog, true);
     }},
    {L"no-event-log", 0, Takes::kNothing, nullptr, L"do not write to the Windows event log",
     [](const GivenOption& g) {
       g.options->eventLogGiven = true;
       return Set(&g.options->eventLog, false);
     }},
    {L"syslog", 0, Takes::kValue, L"LIST",
     L"send records to syslog collectors: host[:port[/tcp|/tls|/relp|/relp+tls]],... (UDP port 514 unless an "
     L"entry says otherwise)",
     [](const GivenOption& g) { return SetText(g, &g.options->syslogServers, L"at least one collector"); }},
    {L"facility", 0, Takes::kValue, L"N", L"syslog facility, 0-23 (default 0)",
     [](const GivenOption& g) { return g.Number(0, 23, &g.options->syslogFacility); }},
    {L"no-header", 0, Takes::kNothing, nullptr, L"syslog lines without time stamp and host name",
     [](const GivenOption& g) { return Set(&g.options->noSyslogHeader, true); }},
    {L"nonblocking-syslog", 0, Takes::kNothing, nullptr,
     L"drop whole lines rather than wait for a slow collector; never wait for a connect",
     [](const GivenOption& g) { return Set(&g.options->nonblockingSyslog, true); }},
    {L"syslog-ca", 0, Takes::kValue, L"FILE",
     L"the one CA trusted for /tls and /relp+tls collectors: its certificate, PEM or DER (required for them)",
     [](const GivenOption& g) { return SetText(g, &g.options->syslogCa, L"a file name"); }},
    {L"syslog-cert", 0, Takes::kValue, L"FILE",
     L"client certificate with its private key (PFX) for TLS collectors that ask for one; /relp+tls always does",
     [](const GivenOption& g) { return SetText(g, &g.options->syslogCert, L"a file name"); }},
    {L"syslog-cert-password", 0, Takes::kValue, L"TEXT", L"password of the --syslog-cert file (default none)",
     [](const GivenOption& g) {
       g.options->syslogCertPassword = g.value();
       return true;
     }},
    {L"syslog-held-bytes", 0, Takes::kValue, L"N",
     L"bytes of lines held for each /relp, /tls or /relp+tls collector until it has them; beyond, the oldest are "
     L"dropped (default 4194304)",
     [](const GivenOption& g) { return g.Number(1024, 0xFFFFFFFFLL, &g.options->syslogHeldBytes); }},
    {L"file", 0, Takes::kValue, L"PATH", L"write the debug log file PATH (folders are created)",
     [](const GivenOption& g) { return SetText(g, &g.options->filePath, L"a file name"); }},
    {L"daily", 0, Takes::kNothing, nullptr, L"one file per day: the date goes into the name",
     [](const GivenOption& g) { return Set(&g.options->dailyFiles, true); }},
    {L"max-size", 0, Takes::kValue, L"N", L"size limit of the file in bytes, 0 for none (default 2000000)",
     [](const GivenOption& g) { return g.Number(0, 0x7FFFFFFF, &g.options->maxFileSize); }},
    {L"new-file-when-full", 0, Takes::kNothing, nullptr, L"at the size limit start a numbered file instead of wrapping",
     [](const GivenOption& g) { return Set(&g.options->newFileWhenFull, true); }},
    {L"instance", 0, Takes::kValue, L"N", L"instance number placed in file names, 0-999",
     [](const GivenOption& g) { return g.Number(0, 999, &g.options->instance); }},
    {L"structured", 0, Takes::kThreeValues, L"ROOT PREFIX COMPONENT",
     L"structured names: ROOT\\PREFIX<HOST>_COMPONENT_NN_SSSS.txt",
     [](const GivenOption& g) {
       g.options->structured = true;
       g.options->logRoot = g.values[0];
       g.options->filePrefix = g.values[1];
       g.options->component = g.values[2];
       if (!g.values[0].empty()) return true;
       *g.error = g.name + L" needs a root folder";
       return false;
     }},
    {L"date-folders", 0, Takes::kNothing, nullptr, L"structured files go into a folder per date",
     [](const GivenOption& g) { return Set(&g.options->dateFolders, true); }},
    {L"split-lines", 0, Takes::kNothing, nullptr, L"one file line per line of a message",
     [](const GivenOption& g) { return Set(&g.options->splitLines, true); }},
    {L"encoding", 0, Takes::kValue, L"0|1|2", L"file encoding: 0 single byte, 1 UTF-8, 2 UTF-16LE",
     [](const GivenOption& g) { return g.Number(0, 2, &g.options->encoding); }},
    {L"max-age", 0, Takes::kValue, L"DAYS", L"with --daily, delete files older than DAYS days",
     [](const GivenOption& g) { return g.Number(0, 0x7FFFFFFF, &g.options->maxAgeDays); }},
    {L"no-report", 0, Takes::kNothing, nullptr, L"no environment report at the head of the file",
     [](const GivenOption& g) { return Set(&g.options->report, false); }},
    {L"settings-key", 0, Takes::kValue, L"PATH",
     L"registry key (below HKLM) of the settings, read at start and every 30 seconds; the command line wins "
     L"over its values",
     [](const GivenOption& g) {
       g.options->settingsKey = g.value();
       return true;
     }},
    {L"current-user", 0, Takes::kNothing, nullptr, L"the settings key is below HKCU",
     [](const GivenOption& g) { return Set(&g.options->currentUser, true); }},
    {L"queue-limit", 0, Takes::kValue, L"N", L"queue length above which only the debug file is served",
     [](const GivenOption& g) { return g.Number(0, 0x7FFFFFFF, &g.options->queueLimit); }},
    // The same range on both architectures, so a command line means the same on each.
    {L"queue-bytes", 0, Takes::kValue, L"N",
     L"bytes queued records may hold before callers wait, 0 for no bound (default 67108864)",
     [](const GivenOption& g) { return g.Number(0, 0xFFFFFFFFLL, &g.options->queueBytes); }},
    {L"help", L'h', Takes::kNothing, nullptr, L"show this text and exit",
     [](const GivenOption& g) { return Set(&g.options->help, true); }},
    {L"version", L'V', Takes::kNothing, nullptr, L"show the version and exit",
     [](const GivenOption& g) { return Set(&g.options->version, true); }},
};

const OptionDefinition* FindLong(const std::wstring& name) {
  for (const OptionDefinition& option : kOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

const OptionDefinition* FindShort(wchar_t name) {
  for (const OptionDefinition& option : kOptions) {
    if (option.shortName != 0 && option.shortName == name) return &option;
  }
  return nullptr;
}

}  // namespace

bool ParseLoggerOptions(const std::vector<std::wstring>& arguments, LoggerOptions* options, std::wstring* error) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    if (!optionsEnded && argument == L"--") {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && argument == L"/?") {
      options->help = true;
      return true;
    }
    // A lone "-" is a message, as any word that is not an option.
    if (optionsEnded || argument.size() < 2 || argument[0] != L'-') {
      options->messages.push_back(argument);
      continue;
    }

    // The options this argument holds: one long one, or a cluster of short ones of which
    // only the last may take a value (the rest of the argument, or the next one).
    std::vector<std::pair<const OptionDefinition*, GivenOption>> found;
    if (argument[1] == L'-') {
      const std::size_t equals = argument.find(L'=');
      const std::wstring name = argument.substr(0, equals);
      const OptionDefinition* option = FindLong(name.substr(2));
      if (option == nullptr) {
        *error = L"unknown option " + name;
        return false;
      }
      GivenOption given{name, {}, options, error};
      if (equals != std::wstring::npos) {
        if (option->takes == Takes::kNothing) {
          *error = name + L" takes no value";
          return false;
        }
        given.values.push_back(argument.substr(equals + 1));
      }
      found.emplace_back(option, std::move(given));
    } else {
      for (std::size_t at = 1; at < argument.size(); ++at) {
        const OptionDefinition* option = FindShort(argument[at]);
        if (option == nullptr) {
          *error = L"unknown option -" + std::wstring(1, argument[at]);
          return false;
        }
        GivenOption given{L"-" + std::wstring(1, argument[at]), {}, options, error};
        const bool takesValue = option->takes != Takes::kNothing;
        if (takesValue && at + 1 < argument.size()) given.values.push_back(argument.substr(at + 1));
        found.emplace_back(option, std::move(given));
        if (takesValue) break;
      }
    }

    for (auto& [option, given] : found) {
      const std::size_t wanted = option->takes == Takes::kNothing ? 0 : (option->takes == Takes::kValue ? 1 : 3);
      while (given.values.size() < wanted) {
        if (i + 1 >= arguments.size()) {
          *error = given.name +
                   (wanted == 1 ? L" needs a value" : L" needs three values: " + std::wstring(option->valueName));
          return false;
        }
        given.values.push_back(arguments[++i]);
      }
      if (!option->apply(given)) return false;
      // What follows --help or --version is not looked at, as in other GNU tools.
      if (options->help || options->version) return true;
    }
  }
  return true;
}

std::wstring LoggerUsage() {
  constexpr std::size_t kHelpColumn = 26;
  constexpr std::size_t kWidth = 79;
  std::wstring text =
      L"usage: varrowmere-logger [options] [message ...]\n"
      L"Logs each message as one record through the Varrowmere debug logger; with no\n"
      L"message, no -f and no --count, logs each line of standard input.\n"
      L"\n";
  for (const OptionDefinition& option : kOptions) {
    std::wstring line = L"  ";
    line += option.shortName != 0 ? std::wstring{L'-', option.shortName, L',', L' '} : std::wstring(4, L' ');
    line += L"--";
    line += option.name;
    if (option.valueName != nullptr) line += std::wstring(L" ") + option.valueName;
    if (line.size() + 1 >= kHelpColumn) {
      text += line + L"\n";
      line.clear();
    }
    // The help in words, each line filled up to the width.
    const std::wstring help = option.help;
    for (std::size_t at = 0; at < help.size();) {
      std::size_t end = help.find(L' ', at);
      if (end == std::wstring::npos) end = help.size();
      const std::wstring word = help.substr(at, end - at);
      if (line.size() <= kHelpColumn) {
        line.resize(kHelpColumn, L' ');
      } else if (line.size() + 1 + word.size() > kWidth) {
        text += line + L"\n";
        line.assign(kHelpColumn, L' ');
      } else {
        line += L' ';
      }
      line += word;
      at = end + 1;
    }
    text += line + L"\n";
  }
  text +=
      L"\n"
      L"Numbers are decimal; event identifiers may also be 0x and hexadecimal digits.\n"
      L"On exit prints to standard error: summary: records=N gated=G seconds=S rate=R/s\n"
      L"(records the logger accepted, and those its level gate dropped), then for each\n"
      L"/relp, /tls or /relp+tls collector: collector: HOST:PORT/KIND delivered=N\n"
      L"dropped=D undelivered=U. Exit status: 0; 1 when a record could not be written to\n"
      L"the console or the debug file, or such a collector did not get every record, or\n"
      L"the input could not be read; 2 for bad usage.\n";
  return text;
}
