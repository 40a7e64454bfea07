#include "logging/logging_calls.h"

#include <cstdio>
#include <cwchar>
#include <type_traits>

#include "diagnostics/structured_exception.h"
#include "logging/argument_check.h"
#include "logging/debug_logger.h"
#include "logging/format_tokens.h"
#include "logging/report_sink.h"
#include "text/code_page.h"
#include "text/decimal_text.h"

namespace {

enum class RunningTest { Required, Skipped };

// The formatting capacity of a message, terminator included: a longer one is cut (a
// narrow one in bytes, before it becomes the record's text).
constexpr std::size_t kMessageChars = 1024;

// Each thread formats its messages into buffers of its own, so a call allocates nothing
// but its record. Between calls the buffers hold only zeros: the text a call leaves is
// overwritten before the call returns, and a formatter that gives up part-way leaves no
// stray characters behind.
thread_local wchar_t t_message[kMessageChars];
// A narrow call's text as formatted, in the ANSI code page, before it becomes the record's.
thread_local char t_narrowMessage[kMessageChars];

// Overwrites the first `chars` characters of a thread's buffer on every way out, an
// exception from the intake included.
template <typename Char>
struct ScrubOnExit {
  Char* text;
  std::size_t chars;
  ~ScrubOnExit() { ::SecureZeroMemory(text, chars * sizeof(Char)); }
};

// Formats the common message by hand, reading the format and its arguments as the
// argument check would: a format whose conversions are all plain %d, %i, %u or %s (no
// flags, width, precision or size; %s of the format's own width) gives exactly the text
// the run time's formatter gives, at a fraction of its cost. Answers the length written,
// terminator after it, and whether every character of it is ASCII; or -1 when the format
// needs the full formatter or the text does not fit in capacity - 1 characters; then
// whatever was written is scrubbed again. Reads are volatile so that none is handed to a
// string routine, whose faults cannot be translated.
//
// A narrow format's own text outside ASCII is left to the full road unless the format
// reads byte for byte as its wide form, which is what the argument check walks (see
// NarrowFormatReadsAsItsWideForm there): only then is a call formatted here one the check
// passes.
template <typename Char>
int FormatPlainConversions(Char* out, std::size_t capacity, const Char* format, va_list args, bool* ascii) {
  using Piece = FormatPiece<Char>;
  using Unit = std::make_unsigned_t<Char>;
  constexpr bool kWideFormat = sizeof(Char) > 1;
  constexpr ArgumentKind kOwnWidthString = kWideFormat ? ArgumentKind::WideString : ArgumentKind::NarrowString;
  std::size_t length = 0;
  Unit written = 0;  // every character written, or'ed together
  const auto fail = [&] {
    ::SecureZeroMemory(out, length * sizeof(Char));
    return -1;
  };
  const auto fits = [&](std::size_t count) { return count < capacity - length; };
  const auto put = [&](Char c) {
    written |= static_cast<Unit>(c);
    out[length++] = c;
  };
  // Decimal digits come as wide characters; every one of them is ASCII.
  const auto putDigits = [&](const wchar_t* digits, const wchar_t* end) {
    if (!fits(static_cast<std::size_t>(end - digits))) return false;
    for (; digits != end; ++digits) put(static_cast<Char>(*digits));
    return true;
  };
  FormatTokens<Char> tokens(format, kWideFormat);
  for (;;) {
    const Piece piece = tokens.Next();
    if (piece.type == Piece::kEnd) break;
    if (piece.type == Piece::kText) {
      if (!fits(piece.length)) return fail();
      Unit literal = 0;
      const volatile Char* const text = piece.text;
      for (std::size_t i = 0; i < piece.length; ++i) {
        literal |= static_cast<Unit>(text[i]);
        put(text[i]);
      }
      if (!kWideFormat && literal >= 0x80 && !AnsiCodePageIs1252) return fail();
      continue;
    }
    if (!piece.plain) return fail();
    if (piece.type == Piece::kPercent) {
      if (!fits(1)) return fail();
      put('%');
    } else if (piece.type == Piece::kConversion && piece.kind == ArgumentKind::Int &&
               (piece.conversion == 'd' || piece.conversion == 'i')) {
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
      if (!putDigits(digits, end)) return fail();
    } else if (piece.type == Piece::kConversion && piece.kind == ArgumentKind::UnsignedInt &&
               piece.conversion == 'u') {
      wchar_t digits[10];
      const auto value = static_cast<unsigned>(TakeArgumentValue(piece.kind, &args).bits);
      if (!putDigits(digits, AppendDecimal(digits, value))) return fail();
    } else if (piece.type == Piece::kConversion && piece.kind == kOwnWidthString) {
      const auto* const text = static_cast<const volatile Char*>(TakeArgumentValue(piece.kind, &args).pointer);
      if (text == nullptr) return fail();
      for (const volatile Char* from = text; *from != 0; ++from) {
        if (!fits(1)) return fail();
        put(*from);
      }
    } else {
      return fail();
    }
  }
  out[length] = 0;
  *ascii = written < 0x80;
  return static_cast<int>(length);
}

// The common call's check and formatting in one: the hand formatting above reads what
// the argument check would, under one fault guard, so a call it formats passes the check.
// -1 sends the call through the check and the run time's formatter; a fault on the way
// leaves the whole buffer scrubbed.
template <typename Char>
int FormatPlainCall(Char* out, std::size_t capacity, const Char* format, va_list args, bool* ascii) {
  if constexpr (!kTranslatesFaults) {
    return -1;
  } else {
    if (format == nullptr) return -1;
    SeTranslatorGuard translator;
    va_list plainArgs;
    va_copy(plainArgs, args);
    int formatted = -1;
    try {
      formatted = FormatPlainConversions(out, capacity, format, plainArgs, ascii);
    } catch (const StructuredException&) {
      ::SecureZeroMemory(out, capacity * sizeof(Char));
    }
    va_end(plainArgs);
    return formatted;
  }
}

// The gate has passed.
void LogWide(RunningTest runningTest, int level, DWORD eventId, const wchar_t* format, va_list args) {
  wchar_t* const message = t_message;
  bool ascii = false;
  int formatted = FormatPlainCall(message, kMessageChars, format, args, &ascii);
  const bool formattedByHand = formatted >= 0;
  if (!formattedByHand && !CheckLogArguments(level, format, args, eventId, nullptr, true)) return;
  ScrubOnExit<wchar_t> scrub{message, formattedByHand ? static_cast<std::size_t>(formatted) + 1 : 0};
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

// The gate has passed. The text is formatted narrow, as the run time's narrow formatter
// gives it, cut at 1023 bytes; an ASCII text is the record's text as it stands (every ANSI
// code page keeps ASCII as it is), any other is converted with the conversion code page,
// as every narrow text that becomes wide is.
void LogNarrow(int level, DWORD eventId, const char* format, va_list args) {
  char* const narrow = t_narrowMessage;
  bool ascii = false;
  int formatted = FormatPlainCall(narrow, kMessageChars, format, args, &ascii);
  const bool formattedByHand = formatted >= 0;
  if (!formattedByHand && !CheckLogArgumentsA(level, format, args, eventId, nullptr)) return;
  ScrubOnExit<char> scrubNarrow{narrow, formattedByHand ? static_cast<std::size_t>(formatted) + 1 : 0};
  DebugLogger& logger = ProcessDebugLogger();
  if (!logger.IsRunning()) return;
  std::size_t length = formattedByHand ? static_cast<std::size_t>(formatted) : 0;
  if (!formattedByHand) {
    // The narrow count is the whole buffer: output of exactly 1024 bytes is reported as
    // fitting and then loses its last byte to the terminator, as a text of 1025 does.
    ::_vsnprintf(narrow, kMessageChars, format, args);
    narrow[kMessageChars - 1] = '\0';
    scrubNarrow.chars = kMessageChars;
    unsigned char bytes = 0;
    for (; narrow[length] != '\0'; ++length) bytes |= static_cast<unsigned char>(narrow[length]);
    ascii = bytes < 0x80;
  }
  if (ascii) {
    logger.AddAsciiRecord(level, eventId, 0, narrow, length, nullptr);
    return;
  }
  wchar_t* const wide = t_message;
  // The system may have written part of the buffer before it failed.
  ScrubOnExit<wchar_t> scrubWide{wide, kMessageChars};
  const bool converted = NarrowToWideInto(wide, narrow, static_cast<int>(kMessageChars), GetConversionCodePage()) != nullptr;
  const std::size_t wideLength = converted ? std::wcslen(wide) : 0;
  if (converted) scrubWide.chars = wideLength + 1;
  logger.AddRecord(level, eventId, 0, wide, wideLength, nullptr);
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
  LogNarrow(level, 0, format, args);
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
