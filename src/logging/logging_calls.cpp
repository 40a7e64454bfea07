#include "logging/logging_calls.h"

#include <cstdio>
#include <cwchar>

#include "diagnostics/structured_exception.h"
#include "logging/argument_check.h"
#include "logging/debug_logger.h"
#include "logging/format_tokens.h"
#include "logging/report_sink.h"
#include "text/decimal_text.h"
#include "text/zul_string.h"

namespace {

enum class RunningTest { Required, Skipped };

// The formatting capacity of a message, terminator included: a longer one is cut.
constexpr std::size_t kMessageChars = 1024;

// Each thread formats its messages into a buffer of its own, so a call allocates nothing
// but its record. Between calls the buffer holds only zeros: the text a call leaves is
// overwritten before the call returns, and a formatter that gives up part-way leaves no
// stray characters behind.
thread_local wchar_t t_message[kMessageChars];

// Formats the common message by hand, reading the format and its arguments as the
// argument check would: a format whose conversions are all plain %d, %i, %u or %s (no
// flags, width, precision or size) gives exactly the text the run time's formatter
// gives, at a fraction of its cost. Answers the length written, terminator after it, or
// -1 when the format needs the full formatter or the text does not fit in capacity - 1
// characters; then whatever was written is scrubbed again. Reads are volatile so that
// none is handed to a string routine, whose faults cannot be translated.
int FormatPlainConversions(wchar_t* out, std::size_t capacity, const wchar_t* format, va_list args) {
  std::size_t length = 0;
  const auto fail = [&] {
    ::SecureZeroMemory(out, length * sizeof(wchar_t));
    return -1;
  };
  const auto fits = [&](std::size_t count) { return count < capacity - length; };
  const auto append = [&](const volatile wchar_t* text, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out[length++] = text[i];
  };
  FormatTokens tokens(format, true);
  for (;;) {
    const FormatPiece piece = tokens.Next();
    if (piece.type == FormatPiece::kEnd) break;
    if (piece.type == FormatPiece::kText) {
      if (!fits(piece.length)) return fail();
      append(piece.text, piece.length);
      continue;
    }
    if (!piece.plain) return fail();
    if (piece.type == FormatPiece::kPercent) {
      if (!fits(1)) return fail();
      out[length++] = L'%';
    } else if (piece.type == FormatPiece::kConversion && piece.kind == ArgumentKind::Int &&
               (piece.conversion == L'd' || piece.conversion == L'i')) {
      const int value = static_cast<int>(TakeArgumentValue(piece.kind, &args).bits);
      // The magnitude as unsigned: the most negative int has none as an int.
      unsigned magnitude = static_cast<unsigned>(value);
      wchar_t digits[11];
      wchar_t* end = digits;
      if (value < 0) {
        *end++ = L'-';
        magnitude = 0u - magnitude;
      }
      end = AppendDecimal(end, magnitude);
      const auto count = static_cast<std::size_t>(end - digits);
      if (!fits(count)) return fail();
      append(digits, count);
    } else if (piece.type == FormatPiece::kConversion && piece.kind == ArgumentKind::UnsignedInt &&
               piece.conversion == L'u') {
      wchar_t digits[10];
      const auto value = static_cast<unsigned>(TakeArgumentValue(piece.kind, &args).bits);
      const auto count = static_cast<std::size_t>(AppendDecimal(digits, value) - digits);
      if (!fits(count)) return fail();
      append(digits, count);
    } else if (piece.type == FormatPiece::kConversion && piece.kind == ArgumentKind::WideString) {
      const auto* const text = static_cast<const volatile wchar_t*>(TakeArgumentValue(piece.kind, &args).pointer);
      if (text == nullptr) return fail();
      for (const volatile wchar_t* from = text; *from != L'\0'; ++from) {
        if (!fits(1)) return fail();
        out[length++] = *from;
      }
    } else {
      return fail();
    }
  }
  out[length] = L'\0';
  return static_cast<int>(length);
}

// The common call's check and formatting in one: the hand formatting above reads what
// the argument check would, under one fault guard, so a call it formats passes the check.
// -1 sends the call through the check and the run time's formatter; a fault on the way
// leaves the whole buffer scrubbed.
int FormatPlainCall(wchar_t* out, std::size_t capacity, const wchar_t* format, va_list args) {
  if constexpr (!kTranslatesFaults) {
    return -1;
  } else {
    if (format == nullptr) return -1;
    SeTranslatorGuard translator;
    va_list plainArgs;
    va_copy(plainArgs, args);
    int formatted = -1;
    try {
      formatted = FormatPlainConversions(out, capacity, format, plainArgs);
    } catch (const StructuredException&) {
      ::SecureZeroMemory(out, capacity * sizeof(wchar_t));
    }
    va_end(plainArgs);
    return formatted;
  }
}

// The gate has passed.
void LogWide(RunningTest runningTest, int level, DWORD eventId, const wchar_t* format, va_list args) {
  wchar_t* const message = t_message;
  int formatted = FormatPlainCall(message, kMessageChars, format, args);
  const bool formattedByHand = formatted >= 0;
  if (!formattedByHand && !CheckLogArguments(level, format, args, eventId, nullptr, true)) return;
  // Scrubbed on every way out, an exception from the intake included.
  struct Scrub {
    wchar_t* text;
    std::size_t chars;
    ~Scrub() { ::SecureZeroMemory(text, chars * sizeof(wchar_t)); }
  } scrub{message, formattedByHand ? static_cast<std::size_t>(formatted) + 1 : 0};
  DebugLogger& logger = ProcessDebugLogger();
  if (runningTest == RunningTest::Required && !logger.IsRunning()) return;
  if (!formattedByHand) {
    // The count leaves the last character free: the formatter writes no terminator when
    // the output fills the count, and the one stored below bounds the text.
    formatted = ::_vsnwprintf(message, kMessageChars - 1, format, args);
    message[kMessageChars - 1] = L'\0';
    const bool fitted = formatted >= 0 && static_cast<std::size_t>(formatted) < kMessageChars;
    scrub.chars = fitted ? static_cast<std::size_t>(formatted) + 1 : kMessageChars;
  }
  // A message ends at its first zero, as a copy of the text would (a text formatted by
  // hand holds none).
  const std::size_t length = formattedByHand ? static_cast<std::size_t>(formatted) : std::wcslen(message);
  logger.AddRecord(level, eventId, 0, message, length, nullptr);
}

}  // namespace

void LogMessage(int level, const wchar_t* format, ...) {
  // The gate comes first, before anything else is touched: a disabled call costs four
  // loads and compares.
  if (!IsLogLevelEnabled(level)) return;
  va_list args;
  va_start(args, format);
  LogWide(RunningTest::Required, level, 0, format, args);
  va_end(args);
}

void LogMessageWithId(int level, DWORD eventId, const wchar_t* format, ...) {
  if (!IsLogLevelEnabled(level)) return;
  va_list args;
  va_start(args, format);
  LogWide(RunningTest::Required, level, eventId, format, args);
  va_end(args);
}

void LogMessageV(int level, DWORD eventId, const wchar_t* format, va_list args) {
  if (!IsLogLevelEnabled(level)) return;
  LogWide(RunningTest::Required, level, eventId, format, args);
}

void LogMessageDirect(int level, const wchar_t* format, ...) {
  if (!IsLogLevelEnabled(level)) return;
  va_list args;
  va_start(args, format);
  LogWide(RunningTest::Skipped, level, 0, format, args);
  va_end(args);
}

void LogMessageA(int level, const char* format, ...) {
  if (!IsLogLevelEnabled(level)) return;
  va_list args;
  va_start(args, format);
  if (CheckLogArgumentsA(level, format, args, 0, nullptr) && ProcessDebugLogger().IsRunning()) {
    zul::ZULString message;
    message.FormatVA(format, args);
    ProcessDebugLogger().AddRecord(level, 0, 0, message.GetWide(), nullptr);
  }
  va_end(args);
}

void FormatCheckedV(wchar_t* buffer, int count, const wchar_t* format, va_list args) {
  if (buffer == nullptr || count <= 0) return;
  if (!CheckLogArguments(kLogInformation, format, args, 0, nullptr, true)) return;
  // The formatter leaves the text unterminated when it fills the count; the last
  // position always gets the terminator.
  ::_vsnwprintf(buffer, static_cast<std::size_t>(count - 1), format, args);
  buffer[count - 1] = L'\0';
}

void FormatChecked(wchar_t* buffer, int count, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  FormatCheckedV(buffer, count, format, args);
  va_end(args);
}

int LogReportLine(int level, int /*a*/, int /*b*/, int /*c*/, const wchar_t* text,
                  const char* /*function*/, int /*line*/, void* /*captureBlock*/) {
  if (text == nullptr) return 0;
  LogMessageDirect(level, L"%s", text);
  return 1;
}

bool IsCodePointer(const void* pointer) {
  return pointer != nullptr && ::IsBadWritePtr(const_cast<void*>(pointer), 4);
}
