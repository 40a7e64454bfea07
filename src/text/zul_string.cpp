#include "text/zul_string.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <utility>

#include "text/narrow_wide.h"

namespace zul {

namespace {

// What GetAt points at outside the text. Read-only, so no caller can turn it into text.
constexpr wchar_t kZeroCharacter = L'\0';

ScrubbedBuffer<wchar_t> CopyOfWide(const wchar_t* text) {
  return ScrubbedBuffer<wchar_t>::CopyOf(text, std::wcslen(text));
}

bool SystemAnsiCodePageIs1252() { return ::GetACP() == 1252; }

}  // namespace

ZULString::ZULString() = default;

ZULString::ZULString(const wchar_t* text) {
  if (text != nullptr) wide_ = CopyOfWide(text);
}

ZULString::ZULString(const char* text, bool useCp1252Table) {
  NarrowToWide(text, useCp1252Table, &wide_);
}

ZULString::~ZULString() = default;

void ZULString::Replace(ScrubbedBuffer<wchar_t> text) noexcept {
  DropNarrowCaches();
  wide_ = std::move(text);
}

void ZULString::DropNarrowCaches() noexcept {
  narrowCodePage_.reset();
  narrowTable_.reset();
}

// Every replacement builds the new text before it lets go of the old one, so a source
// that lies inside this string's own text is still intact while it is read.
void ZULString::Assign(const wchar_t* text) {
  Replace(text != nullptr ? CopyOfWide(text) : ScrubbedBuffer<wchar_t>());
}

void ZULString::Assign(const char* text) {
  ScrubbedBuffer<wchar_t> converted;
  NarrowToWide(text, SystemAnsiCodePageIs1252(), &converted);
  Replace(std::move(converted));
}

int ZULString::AssignCount(const wchar_t* chars, int count) {
  if (count < 0 || (chars == nullptr && count > 0)) {
    Replace(ScrubbedBuffer<wchar_t>());
    return -1;
  }
  Replace(ScrubbedBuffer<wchar_t>::CopyOf(chars, static_cast<std::size_t>(count)));
  return count;
}

void ZULString::Append(const wchar_t* text) {
  if (text == nullptr) return;
  DropNarrowCaches();
  if (!wide_) {
    wide_ = CopyOfWide(text);
    return;
  }
  const std::size_t currentLength = std::wcslen(wide_.get());
  const std::size_t appendedLength = std::wcslen(text);
  ScrubbedBuffer<wchar_t> joined(currentLength + appendedLength + 1);
  std::memcpy(joined.get(), wide_.get(), currentLength * sizeof(wchar_t));
  std::memcpy(joined.get() + currentLength, text, (appendedLength + 1) * sizeof(wchar_t));
  wide_ = std::move(joined);
}

void ZULString::Append(const ZULString& other) {
  if (other.wide_) Append(other.wide_.get());
}

int ZULString::AppendFormat(const wchar_t* format, ...) {
  ZULString formatted;
  va_list args;
  va_start(args, format);
  formatted.FormatV(format, args);
  va_end(args);
  Append(formatted);
  return GetLength();
}

int ZULString::Format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = FormatV(format, args);
  va_end(args);
  return result;
}

int ZULString::FormatA(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = FormatVA(format, args);
  va_end(args);
  return result;
}

int ZULString::FormatV(const wchar_t* format, va_list args) {
  if (format == nullptr) {
    Replace(ScrubbedBuffer<wchar_t>());
    return -1;
  }
  const std::size_t limit = static_cast<std::size_t>(formatLimit_);
  // Zeroed, so a formatter that gives up part-way leaves no stray characters behind.
  ScrubbedBuffer<wchar_t> scratch = ScrubbedBuffer<wchar_t>::Zeroed(limit);
  // The count leaves the last character free: the formatter writes no terminator when
  // the output fills the count, and the one stored below bounds the text.
  const int result = ::_vsnwprintf(scratch.get(), limit - 1, format, args);
  scratch[limit - 1] = L'\0';
  Replace(CopyOfWide(scratch.get()));
  return result;
}

int ZULString::FormatVA(const char* format, va_list args) {
  if (format == nullptr) {
    Replace(ScrubbedBuffer<wchar_t>());
    return -1;
  }
  const std::size_t limit = static_cast<std::size_t>(formatLimit_);
  ScrubbedBuffer<char> scratch = ScrubbedBuffer<char>::Zeroed(limit);
  // The narrow count is the whole buffer: output of exactly 1024 bytes is reported as
  // fitting and then loses its last byte to the terminator.
  const int result = ::_vsnprintf(scratch.get(), limit, format, args);
  scratch[limit - 1] = '\0';
  ScrubbedBuffer<wchar_t> converted;
  NarrowToWide(scratch.get(), false, &converted);
  Replace(std::move(converted));
  return result < 0 ? -1 : GetLength();
}

const wchar_t* ZULString::GetWide() const noexcept { return wide_.get(); }

const char* ZULString::GetNarrow() const {
  if (!wide_) return nullptr;
  try {
    const bool useTable = SystemAnsiCodePageIs1252();
    ScrubbedBuffer<char>& cache = useTable ? narrowTable_ : narrowCodePage_;
    if (!cache) {
      ScrubbedBuffer<char> converted;
      WideToNarrow(wide_.get(), useTable, &converted);
      cache = converted ? std::move(converted) : ScrubbedBuffer<char>::CopyOf("", 0);
    }
    return cache.get();
  } catch (...) {
    return nullptr;
  }
}

int ZULString::GetLength() const noexcept {
  return wide_ ? static_cast<int>(std::wcslen(wide_.get())) : 0;
}

const wchar_t* ZULString::GetAt(int index) const noexcept {
  if (index < 0 || index >= GetLength()) return &kZeroCharacter;
  return wide_.get() + index;
}

bool ZULString::StripWhitespace(int flags) {
  DropNarrowCaches();
  if (!wide_) return false;
  wchar_t* const text = wide_.get();
  if ((flags & STRIP_LEADING) != 0) {
    std::size_t skipped = 0;
    while (text[skipped] != L'\0' && std::iswspace(text[skipped])) ++skipped;
    if (skipped != 0) {
      std::memmove(text, text + skipped, (std::wcslen(text + skipped) + 1) * sizeof(wchar_t));
    }
  }
  if ((flags & STRIP_TRAILING) != 0) {
    std::size_t length = std::wcslen(text);
    while (length > 0 && std::iswspace(text[length - 1])) --length;
    text[length] = L'\0';
  }
  return true;
}

}  // namespace zul
