#pragma once

#include <cstdarg>

#include "text/scrubbed_buffer.h"

namespace zul {

// The program's owning wide string: the text the logging calls format, the messages the
// logger writes and the settings it reads.
//
// - The wide text (UTF-16, zero-terminated) is the only master copy; it may be absent
//   ("no text", GetWide() null), which is not the same as the empty text.
// - The narrow forms are caches filled on demand and dropped by every change.
// - Every buffer is zeroed before it is freed, so formatted messages and settings text
//   do not linger in freed memory.
// - Formatting goes through the Microsoft run time's count-limited formatters into a
//   buffer of GetFormatLimit() characters: at most 1023 characters of output are kept.
//
// A string belongs to one thread at a time; even GetNarrow() changes it (the cache).
// Strings are not copied; a record that holds one is allocated and deleted as a whole.
class ZULString {
 public:
  enum { STRIP_LEADING = 1, STRIP_TRAILING = 2 };

  // No text.
  ZULString();
  // A copy of `text`; a null text gives no text.
  explicit ZULString(const wchar_t* text);
  // `text` converted to wide: with the built-in Windows-1252 table when useCp1252Table
  // is true (callers pass AnsiCodePageIs1252), else with the system converter and the
  // thread's ANSI code page. A null text gives no text.
  ZULString(const char* text, bool useCp1252Table);
  virtual ~ZULString();

  ZULString(const ZULString&) = delete;
  ZULString& operator=(const ZULString&) = delete;

  // Replace the text. Each is safe with a source inside this string's own text.
  void Assign(const wchar_t* text);
  // The table is used when the system ANSI code page is 1252 at the time of the call.
  void Assign(const char* text);
  // Exactly `count` characters, zero characters among them included, then a terminator.
  // Answers `count`; a negative count, or a null source with a positive count, leaves no
  // text and answers -1.
  int AssignCount(const wchar_t* chars, int count);

  // A null text, or a string with no text, changes nothing.
  void Append(const wchar_t* text);
  void Append(const ZULString& other);
  // Appends the formatted text (cut as Format cuts it); answers the whole new length.
  int AppendFormat(const wchar_t* format, ...);

  // Replace the text with formatted output. The wide forms answer the formatter's count:
  // the characters written, or -1 when the output did not fit in 1023 characters and was
  // cut there. The narrow forms format into 1024 bytes, keep at most 1023 of them,
  // convert them with the thread's ANSI code page and answer the wide length, or -1 when
  // the output did not fit in 1024 bytes. A null format leaves no text and answers -1.
  int Format(const wchar_t* format, ...);
  int FormatV(const wchar_t* format, va_list args);
  int FormatA(const char* format, ...);
  int FormatVA(const char* format, va_list args);

  // The text, or null when there is none.
  const wchar_t* GetWide() const noexcept;
  // The text in the ANSI code page (with the built-in table when the system ANSI code
  // page is 1252), or null when there is no text or the conversion could not be stored.
  // Valid until the next change of the string.
  const char* GetNarrow() const;
  // Characters before the first zero character; 0 when there is no text.
  int GetLength() const noexcept;
  // The character at `index`, or a zero character outside the text.
  const wchar_t* GetAt(int index) const noexcept;
  // Drops white space (iswspace) at the start (STRIP_LEADING) and/or the end
  // (STRIP_TRAILING) in place. False when there is no text.
  bool StripWhitespace(int flags);
  int GetFormatLimit() const noexcept { return formatLimit_; }

 private:
  // Replaces the text and drops both narrow caches; the old buffers are scrubbed.
  void Replace(ScrubbedBuffer<wchar_t> text) noexcept;
  void DropNarrowCaches() noexcept;

  ScrubbedBuffer<wchar_t> wide_;
  // Caches of the text converted with the system converter and the thread's ANSI code
  // page, and with the built-in Windows-1252 table. Filled by GetNarrow().
  mutable ScrubbedBuffer<char> narrowCodePage_;
  mutable ScrubbedBuffer<char> narrowTable_;
  const int formatLimit_ = 1024;
};

}  // namespace zul
