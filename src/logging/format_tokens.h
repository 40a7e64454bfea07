#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// The one reading of a logging format: its text split into literal runs and conversions,
// each conversion with the kind of argument it takes, and the one way an argument is
// taken off the list. The argument check, its quick path and the hand formatter all read
// a format through these, so a change to what a format may say is made here once.
//
// The syntax is the run time's printf as the logging formats use it: flags " #+-", then
// width and precision digits, "." and "*" (each "*" takes an int argument before the
// value), then a size prefix "h", "l" or "I64", then the conversion character.
//
// The format is read through volatile reads: a format that runs into memory nobody may
// read faults here, in code whose faults are translated, never inside a string routine.

// What a conversion reads from the argument list.
enum class ArgumentKind : int {
  Char = 1,
  WideChar,
  Int,
  UnsignedInt,
  Long,
  UnsignedLong,
  Short,
  UnsignedShort,
  Int64,
  UnsignedInt64,
  Double,
  LongDouble,
  IntPointer,
  VoidPointer,
  NarrowString,
  WideString,
};

// Kinds whose value is the argument's slot itself (the rest are pointers).
constexpr bool ReadsFromSlotOnly(ArgumentKind kind) {
  return static_cast<int>(kind) <= static_cast<int>(ArgumentKind::LongDouble);
}

// How many bytes of an argument's own slot the formatter reads.
constexpr UINT_PTR SlotBytesRead(ArgumentKind kind) {
  switch (kind) {
    case ArgumentKind::Char: return 1;
    case ArgumentKind::WideChar:
    case ArgumentKind::Short:
    case ArgumentKind::UnsignedShort: return 2;
    case ArgumentKind::Int64:
    case ArgumentKind::UnsignedInt64:
    case ArgumentKind::Double:
    case ArgumentKind::LongDouble: return 8;
    default: return 4;
  }
}

// One argument as taken off the list by its kind's type.
struct ArgumentValue {
  std::uint64_t bits = 0;         // integers and characters, zero-extended
  double real = 0;                // kinds Double and LongDouble
  const void* pointer = nullptr;  // kinds IntPointer to WideString
};

// Takes the next argument as its kind's type. On x64 every argument takes a slot of 8
// bytes and on x86 of 4 (8 for the 64-bit kinds), so reading by the kind's type is what
// moves the list the right way on both.
inline ArgumentValue TakeArgumentValue(ArgumentKind kind, va_list* args) {
  ArgumentValue value;
  switch (kind) {
    case ArgumentKind::Int64:
    case ArgumentKind::UnsignedInt64: value.bits = va_arg(*args, unsigned long long); break;
    case ArgumentKind::Double:
    case ArgumentKind::LongDouble: value.real = va_arg(*args, double); break;
    case ArgumentKind::IntPointer:
    case ArgumentKind::VoidPointer:
    case ArgumentKind::NarrowString:
    case ArgumentKind::WideString: value.pointer = va_arg(*args, const void*); break;
    default: value.bits = va_arg(*args, unsigned int); break;
  }
  return value;
}

// One piece of a format, of a wide or a narrow one.
template <typename Char>
struct FormatPiece {
  enum Type {
    kEnd,         // the format is over
    kText,        // literal characters: text, length
    kPercent,     // "%%", one literal "%"
    kConversion,  // a conversion: starArguments, plain, conversion, kind
    kInvalid,     // a conversion the formatter does not accept; the format stops here
  };
  Type type = kEnd;
  const Char* text = nullptr;
  std::size_t length = 0;
  int starArguments = 0;  // int arguments ("*" widths and precisions) before the value
  bool plain = false;     // nothing between "%" and its character
  Char conversion = 0;
  ArgumentKind kind = ArgumentKind::Int;
};

// The pieces of one format, in order. wideMeaning selects how %c, %s and their capitals
// read: in a wide format %s is a wide text and %S a narrow one, in a narrow format the
// reverse; "h" and "l" override either.
//
// Wide and narrow formats share the syntax and this one reading of it: every character
// that means anything in a format is ASCII, compared as a number, so a narrow format's
// bytes above 0x7F are literal text as any wide character outside ASCII is.
template <typename Char>
class FormatTokens {
 public:
  using Piece = FormatPiece<Char>;

  FormatTokens(const Char* format, bool wideMeaning) noexcept : at_(format), wideMeaning_(wideMeaning) {}

  // Not noexcept: a read of an unreadable format faults here, and on a thread under a
  // fault guard that fault must be able to reach its handler.
  Piece Next() {
    Piece piece;
    if (*at_ == 0) return piece;
    if (*at_ != '%') {
      piece.type = Piece::kText;
      piece.text = const_cast<const Char*>(at_);
      while (*at_ != 0 && *at_ != '%') ++at_;
      piece.length = static_cast<std::size_t>(const_cast<const Char*>(at_) - piece.text);
      return piece;
    }
    const volatile Char* const percent = at_++;
    while (*at_ == ' ' || *at_ == '#' || *at_ == '+' || *at_ == '-') ++at_;
    for (;;) {
      while ((*at_ >= '0' && *at_ <= '9') || *at_ == '.') ++at_;
      if (*at_ != '*') break;
      ++piece.starArguments;
      ++at_;
    }
    Prefix prefix = Prefix::kNone;
    if (*at_ == 'h') {
      prefix = Prefix::kShort;
      ++at_;
    } else if (*at_ == 'l') {
      prefix = Prefix::kLong;
      ++at_;
    } else if (*at_ == 'I') {
      if (at_[1] != '6' || at_[2] != '4') return Invalid();
      prefix = Prefix::kInt64;
      at_ += 3;
    }
    piece.plain = at_ == percent + 1;
    piece.conversion = *at_;
    if (piece.conversion == '%') {
      ++at_;
      piece.type = Piece::kPercent;
      return piece;
    }
    if (!Classify(piece.conversion, prefix, &piece.kind)) return Invalid();
    ++at_;
    piece.type = Piece::kConversion;
    return piece;
  }

 private:
  enum class Prefix { kNone, kShort, kLong, kInt64 };

  Piece Invalid() noexcept {
    Piece piece;
    piece.type = Piece::kInvalid;
    return piece;
  }

  // The kind a conversion character reads with its size prefix, or false when the
  // formatter does not accept the conversion.
  bool Classify(Char conversion, Prefix prefix, ArgumentKind* kind) const noexcept {
    // %c and %s follow the format's width; %C and %S take the other one; h and l decide.
    const auto byWidth = [&](ArgumentKind narrow, ArgumentKind wide, bool sameAsFormat) {
      if (prefix == Prefix::kShort) return narrow;
      if (prefix == Prefix::kLong) return wide;
      return (wideMeaning_ == sameAsFormat) ? wide : narrow;
    };
    switch (conversion) {
      case 'c': *kind = byWidth(ArgumentKind::Char, ArgumentKind::WideChar, true); return true;
      case 'C': *kind = byWidth(ArgumentKind::Char, ArgumentKind::WideChar, false); return true;
      case 's': *kind = byWidth(ArgumentKind::NarrowString, ArgumentKind::WideString, true); return true;
      case 'S': *kind = byWidth(ArgumentKind::NarrowString, ArgumentKind::WideString, false); return true;
      case 'd':
      case 'i':
        *kind = prefix == Prefix::kLong    ? ArgumentKind::Long
                : prefix == Prefix::kShort ? ArgumentKind::Short
                : prefix == Prefix::kInt64 ? ArgumentKind::Int64
                                           : ArgumentKind::Int;
        return true;
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        *kind = prefix == Prefix::kLong    ? ArgumentKind::UnsignedLong
                : prefix == Prefix::kShort ? ArgumentKind::UnsignedShort
                : prefix == Prefix::kInt64 ? ArgumentKind::UnsignedInt64
                                           : ArgumentKind::UnsignedInt;
        return true;
      case 'e':
      case 'E':
      case 'g':
      case 'G': *kind = ArgumentKind::Double; return true;
      case 'f': *kind = prefix == Prefix::kLong ? ArgumentKind::LongDouble : ArgumentKind::Double; return true;
      case 'n': *kind = ArgumentKind::IntPointer; return true;
      case 'p': *kind = ArgumentKind::VoidPointer; return true;
      default: return false;
    }
  }

  const volatile Char* at_;
  bool wideMeaning_;
};
