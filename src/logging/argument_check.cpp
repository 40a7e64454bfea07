#include "logging/argument_check.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>

#include "diagnostics/structured_exception.h"
#include "logging/debug_logger.h"
#include "logging/format_tokens.h"
#include "logging/log_levels.h"
#include "text/code_page.h"
#include "text/zul_string.h"

namespace {

// Longest text the readability tests look at, in characters.
constexpr UINT_PTR kMaxTestedChars = 1024;

using Kind = ArgumentKind;

const wchar_t* TypeName(Kind kind) {
  static const wchar_t* const kNames[] = {
      L"char",    L"wchar_t",          L"int",         L"unsigned int",
      L"long int", L"long unsigned int", L"short int",  L"unsigned short int",
      L"__int64", L"unsigned __int64", L"double",      L"long double",
      L"int*",    L"void*",            L"char*",       L"wchar_t*"};
  return kNames[static_cast<int>(kind) - 1];
}

// One argument as the walk read it: its value as taken off the list, and what the test
// of it found.
struct Examined : ArgumentValue {
  Kind kind = Kind::Int;
  bool failed = false;
  const void* failedAddress = nullptr;
};

// Arguments examined by one walk. Most calls have a handful, kept inline; a call with
// more spills to the heap.
class ExaminedList {
 public:
  void Add(const Examined& argument) {
    if (count_ < kInline) {
      inline_[count_] = argument;
    } else {
      spilled_.push_back(argument);
    }
    ++count_;
  }
  int Count() const { return count_; }
  const Examined& At(int index) const {
    return index < kInline ? inline_[index] : spilled_[static_cast<std::size_t>(index - kInline)];
  }

 private:
  static constexpr int kInline = 16;
  Examined inline_[kInline]{};
  std::vector<Examined> spilled_;
  int count_ = 0;
};

// Runs one read of caller memory with faults turned into a failed read: the tests run
// first, but memory can change between a test and the read.
template <typename Read>
bool ReadGuarded(Read&& read) {
  SeTranslatorGuard translator;
  try {
    read();
    return true;
  } catch (const StructuredException&) {
    return false;
  }
}

// True when the text ends (a zero character) before any unreadable memory. The
// readability tests look at the first kMaxTestedChars characters only, and the formatter
// reads a text to its end: a longer text that runs into memory nobody may read must fail
// the check, so its end is found here, one character at a time under the guard. The
// volatile reads keep the compiler from handing the loop to strlen, whose faults the
// translation cannot take (see SeTranslatorGuard). No allocation: valid calls stay free
// of them.
template <typename Char>
void ReadToEnd(const Char* text) {
  for (const volatile Char* at = text; *at != 0; ++at) {
  }
}

template <typename Char>
bool EndsReadably(const Char* text) {
  return ReadGuarded([text] { ReadToEnd(text); });
}

// Takes the next argument as its kind's type and tests what the formatter would touch.
Examined TakeArgument(Kind kind, va_list* args) {
  Examined argument;
  argument.kind = kind;
  // The list is a plain pointer to the argument slots on both Windows ABIs, so the slot
  // itself can be tested where it lies: that catches a list that runs off the stack.
  const void* slot = *args;
  if (ReadsFromSlotOnly(kind) && ::IsBadReadPtr(slot, SlotBytesRead(kind))) {
    argument.failed = true;
    argument.failedAddress = slot;
    return argument;
  }
  const bool read = ReadGuarded([&] {
    static_cast<ArgumentValue&>(argument) = TakeArgumentValue(kind, args);
  });
  if (!read) {
    argument.failed = true;
    argument.failedAddress = slot;
    return argument;
  }

  switch (kind) {
    case Kind::IntPointer:
      // %n writes through its pointer, so the target must be writable, not just readable.
      argument.failed = argument.pointer == nullptr ||
                        ::IsBadWritePtr(const_cast<void*>(argument.pointer), sizeof(int));
      break;
    case Kind::NarrowString:
      argument.failed = argument.pointer != nullptr &&
                        (::IsBadStringPtrA(static_cast<const char*>(argument.pointer), kMaxTestedChars) ||
                         !EndsReadably(static_cast<const char*>(argument.pointer)));
      break;
    case Kind::WideString:
      argument.failed = argument.pointer != nullptr &&
                        (::IsBadStringPtrW(static_cast<const wchar_t*>(argument.pointer), kMaxTestedChars) ||
                         !EndsReadably(static_cast<const wchar_t*>(argument.pointer)));
      break;
    default:
      break;
  }
  if (argument.failed) argument.failedAddress = argument.pointer;
  return argument;
}

// True when every conversion matched; false at the first failure. take(kind, &args)
// takes the next argument as that kind and answers whether it passed.
template <typename Char, typename TakeNext>
bool Walk(const Char* format, va_list args, bool wideMeaning, TakeNext&& take) {
  using Piece = FormatPiece<Char>;
  FormatTokens<Char> tokens(format, wideMeaning);
  for (;;) {
    const Piece piece = tokens.Next();
    switch (piece.type) {
      case Piece::kEnd: return true;
      case Piece::kInvalid: return false;
      case Piece::kText: continue;
      case Piece::kPercent:
      case Piece::kConversion:
        for (int star = 0; star < piece.starArguments; ++star) {
          if (!take(Kind::Int, &args)) return false;
        }
        if (piece.type == Piece::kConversion && !take(piece.kind, &args)) return false;
        continue;
    }
  }
}

// The value text of one argument in the report.
void AppendValue(const Examined& argument, zul::ZULString* text) {
  zul::ZULString value;
  if (argument.failed) {
    if (argument.failedAddress == nullptr) {
      value.Assign(L"<null>");
    } else {
      value.Format(L"BAD_PTR(%p)", argument.failedAddress);
    }
    text->Append(value);
    return;
  }
  const auto low16 = static_cast<std::uint16_t>(argument.bits);
  const auto low32 = static_cast<std::uint32_t>(argument.bits);
  switch (argument.kind) {
    case Kind::Char: value.FormatA("%c", static_cast<int>(static_cast<char>(argument.bits))); break;
    case Kind::WideChar: value.Format(L"%c", static_cast<int>(low16)); break;
    case Kind::Int:
    case Kind::Long: value.Format(L"%i", static_cast<int>(low32)); break;
    case Kind::UnsignedInt:
    case Kind::UnsignedLong: value.Format(L"%u", low32); break;
    case Kind::Short: value.Format(L"%i", static_cast<int>(static_cast<std::int16_t>(low16))); break;
    case Kind::UnsignedShort: value.Format(L"%u", static_cast<unsigned>(low16)); break;
    case Kind::Int64: value.Format(L"%I64i", static_cast<long long>(argument.bits)); break;
    case Kind::UnsignedInt64: value.Format(L"%I64u", static_cast<unsigned long long>(argument.bits)); break;
    case Kind::Double: value.Format(L"%f", argument.real); break;
    case Kind::LongDouble: value.Format(L"%lf", argument.real); break;
    case Kind::IntPointer:
    case Kind::VoidPointer: value.Format(L"%p", argument.pointer); break;
    case Kind::NarrowString:
    case Kind::WideString:
      if (argument.pointer == nullptr) {
        value.Assign(L"<null>");
      } else if (!ReadGuarded([&] {
                   if (argument.kind == Kind::WideString) {
                     value.Assign(static_cast<const wchar_t*>(argument.pointer));
                   } else {
                     zul::ZULString converted(static_cast<const char*>(argument.pointer), AnsiCodePageIs1252);
                     value.Append(converted);
                   }
                 })) {
        value.Format(L"BAD_PTR(%p)", argument.pointer);
      }
      break;
  }
  text->Append(value);
}

void Report(int level, const wchar_t* formatText, DWORD eventId, const wchar_t* userText,
            const ExaminedList& examined) {
  DebugLogger& logger = ProcessDebugLogger();
  if (!logger.IsRunning()) return;
  zul::ZULString arguments;
  for (int i = 0; i < examined.Count(); ++i) {
    const Examined& argument = examined.At(i);
    zul::ZULString head;
    head.Format(L"arg[%d](%s)=", i + 1, TypeName(argument.kind));
    arguments.Append(head);
    AppendValue(argument, &arguments);
    arguments.Append(L" ");
  }
  zul::ZULString report;
  report.Format(L"Invalid log entry - Level:%d, EventId:%d(0x%08X), Format:%s, User:%s, ArgCount:%d, Args:%s",
                level, static_cast<int>(eventId & 0xFFFF), static_cast<unsigned>(eventId), formatText,
                userText != nullptr ? userText : L"<null>", examined.Count(),
                examined.Count() > 0 ? arguments.GetWide() : L"<null>");
  logger.AddRecord(kLogAlways, 0, 0, report.GetWide(), nullptr);
}

// An unreadable format is shown by its address, never read.
void ReportUnreadableFormat(int level, const void* format, DWORD eventId, const wchar_t* userText) {
  zul::ZULString shown;
  if (format == nullptr) {
    shown.Assign(L"<null>");
  } else {
    shown.Format(L"BAD_PTR(%p)", format);
  }
  Report(level, shown.GetWide(), eventId, userText, ExaminedList());
}

// The full walk of a narrow format reads its wide form, converted as the report shows it,
// and a quick verdict on the narrow bytes themselves holds only where both read alike.
// They do when every byte is ASCII, which every ANSI code page keeps as it is, and with
// the Windows-1252 table, which turns each byte into one character, ASCII into ASCII;
// a double-byte code page can join a byte outside ASCII with the "%" after it. Reads
// the format to its end either way.
bool NarrowFormatReadsAsItsWideForm(const char* format) {
  bool ascii = true;
  for (const volatile char* at = format; *at != '\0'; ++at) ascii = ascii && static_cast<unsigned char>(*at) < 0x80;
  return ascii || AnsiCodePageIs1252;
}

// The common call, answered cheaply: the whole walk runs under one fault guard and reads
// what the formatter will read, with no test of each address on its own; a fault on the
// way is caught once. True only when the call certainly passes: any fault, and any %n
// (whose target must be writable, which a read cannot show), leaves the verdict and its
// report to the full walk.
template <typename Char>
bool CertainlyPasses(const Char* format, va_list args, bool wideMeaning) {
  if constexpr (!kTranslatesFaults) {
    return false;
  } else {
    SeTranslatorGuard translator;
    try {
      if constexpr (sizeof(Char) == 1) {
        if (!NarrowFormatReadsAsItsWideForm(format)) return false;
      } else {
        ReadToEnd(format);
      }
      va_list walkArgs;
      va_copy(walkArgs, args);
      const bool passes = Walk(format, walkArgs, wideMeaning, [](Kind kind, va_list* next) {
        if (kind == Kind::IntPointer) return false;
        // The slot's first and last byte the formatter reads: a list that runs off the
        // stack faults here.
        const auto* slot = reinterpret_cast<const volatile unsigned char*>(*next);
        const UINT_PTR slotBytes = ReadsFromSlotOnly(kind) ? SlotBytesRead(kind) : sizeof(void*);
        static_cast<void>(slot[0]);
        static_cast<void>(slot[slotBytes - 1]);
        const ArgumentValue value = TakeArgumentValue(kind, next);
        if (value.pointer != nullptr) {
          if (kind == Kind::NarrowString) ReadToEnd(static_cast<const char*>(value.pointer));
          if (kind == Kind::WideString) ReadToEnd(static_cast<const wchar_t*>(value.pointer));
        }
        return true;
      });
      va_end(walkArgs);
      return passes;
    } catch (const StructuredException&) {
      return false;
    }
  }
}

// Walks a readable format over its own copy of the arguments; a failed walk is reported.
bool WalkOrReport(int level, const wchar_t* format, va_list args, bool wideMeaning, DWORD eventId,
                  const wchar_t* userText) {
  ExaminedList examined;
  va_list walkArgs;
  va_copy(walkArgs, args);
  const bool valid = Walk(format, walkArgs, wideMeaning, [&examined](Kind kind, va_list* next) {
    const Examined argument = TakeArgument(kind, next);
    examined.Add(argument);
    return !argument.failed;
  });
  va_end(walkArgs);
  if (!valid) Report(level, format, eventId, userText, examined);
  return valid;
}

}  // namespace

bool CheckLogArguments(int level, const wchar_t* format, va_list args, DWORD eventId,
                       const wchar_t* userText, bool wideMeaning) {
  if (format != nullptr && CertainlyPasses(format, args, wideMeaning)) return true;
  if (format == nullptr || ::IsBadStringPtrW(format, kMaxTestedChars) || !EndsReadably(format)) {
    ReportUnreadableFormat(level, format, eventId, userText);
    return false;
  }
  return WalkOrReport(level, format, args, wideMeaning, eventId, userText);
}

bool CheckLogArgumentsA(int level, const char* format, va_list args, DWORD eventId,
                        const char* userText) {
  // The user text serves only the report, which a call that passes never makes.
  if (format != nullptr && CertainlyPasses(format, args, false)) return true;
  const bool userReadable =
      userText == nullptr || (!::IsBadStringPtrA(userText, kMaxTestedChars) && EndsReadably(userText));
  zul::ZULString wideUser(userReadable ? userText : nullptr, AnsiCodePageIs1252);
  const wchar_t* user = userReadable ? wideUser.GetWide() : L"<unreadable>";
  if (format == nullptr || ::IsBadStringPtrA(format, kMaxTestedChars) || !EndsReadably(format)) {
    ReportUnreadableFormat(level, format, eventId, user);
    return false;
  }
  zul::ZULString wideFormat(format, AnsiCodePageIs1252);
  if (wideFormat.GetWide() == nullptr) {
    ReportUnreadableFormat(level, format, eventId, user);
    return false;
  }
  return WalkOrReport(level, wideFormat.GetWide(), args, false, eventId, user);
}
