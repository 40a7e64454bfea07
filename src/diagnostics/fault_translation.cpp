#include "diagnostics/fault_translation.h"


// The start of our program's image, provided by the linker.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace fault_translation {

namespace {

// GCC raises its C++ exceptions on x64 as structured exceptions with these codes: 'GCC'
// in the low 24 bits, the customer bit, and the kind (throw, unwind, forced unwind) in
// bits 24-27.
constexpr DWORD kGccCodeMask = 0x20FFFFFF;
constexpr DWORD kGccCodeBase = 0x20474343;
constexpr DWORD kMsvcCxxException = 0xE06D7363;  // a library's own C++ exceptions stay its own

// Reads GCC's language-specific data area (the call-site table).
class LsdaReader {
 public:
  explicit LsdaReader(const std::uint8_t* at) : at_(at) {}

  const std::uint8_t* position() const { return at_; }
  std::uint8_t Byte() { return *at_++; }

  std::uint64_t Uleb128() {
    std::uint64_t value = 0;
    unsigned shift = 0;
    std::uint8_t byte = 0;
    do {
      byte = *at_++;
      if (shift < 64) value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      shift += 7;
    } while ((byte & 0x80) != 0);
    return value;
  }

  // A value in one of the DWARF pointer encodings the call-site table uses; false for
  // an encoding it cannot take apart (the caller then trusts nothing in the table).
  bool Encoded(std::uint8_t encoding, std::uint64_t* value) {
    switch (encoding & 0x0F) {
      case 0x00: return Fixed<std::uintptr_t>(value);  // absptr
      case 0x01: *value = Uleb128(); return true;
      case 0x02: return Fixed<std::uint16_t>(value);
      case 0x03: return Fixed<std::uint32_t>(value);
      case 0x04: return Fixed<std::uint64_t>(value);
      case 0x0A: return Fixed<std::int16_t>(value);
      case 0x0B: return Fixed<std::int32_t>(value);
      case 0x0C: return Fixed<std::int64_t>(value);
      default: return false;
    }
  }

 private:
  template <typename T>
  bool Fixed(std::uint64_t* value) {
    T raw;
    __builtin_memcpy(&raw, at_, sizeof(raw));
    at_ += sizeof(raw);
    *value = static_cast<std::uint64_t>(raw);
    return true;
  }

  const std::uint8_t* at_;
};

}  // namespace

bool IsFaultToTranslate(const EXCEPTION_RECORD& record) {
  if ((record.ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) return false;
  // A fault raised while some handler ran: leave it alone rather than risk a loop.
  if ((record.ExceptionFlags & EXCEPTION_NESTED_CALL) != 0) return false;
  if ((record.ExceptionCode & kGccCodeMask) == kGccCodeBase) return false;
  if (record.ExceptionCode == kMsvcCxxException) return false;
  // Unwinding needs stack, and an overflow has just used up the guard page: a second
  // overflow in the catch block would end the process without any report.
  if (record.ExceptionCode == static_cast<DWORD>(STATUS_STACK_OVERFLOW)) return false;
  return CurrentSeTranslator() == &TranslateStructuredException;
}

bool IsInOurImage(std::uintptr_t address) {
  // The headers lie beyond the DOS header the linker names, inside the mapped image.
  const auto base = reinterpret_cast<std::uintptr_t>(&__ImageBase);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
  return address >= base && address - base < headers->OptionalHeader.SizeOfImage;
}

CallSite LookUpCallSite(const void* lsda, std::uintptr_t regionStart, std::uintptr_t address) {
  constexpr std::uint8_t kOmit = 0xFF;
  const std::uint64_t wanted = address - 1;
  LsdaReader reader(static_cast<const std::uint8_t*>(lsda));
  if (reader.Byte() != kOmit) return CallSite::kNotListed;  // GCC never moves the landing-pad base
  if (reader.Byte() != kOmit) reader.Uleb128();              // type table offset
  const std::uint8_t encoding = reader.Byte();
  const std::uint8_t* end = reader.position() + reader.Uleb128();
  while (reader.position() < end) {
    std::uint64_t start = 0, length = 0, landingPad = 0;
    if (!reader.Encoded(encoding, &start) || !reader.Encoded(encoding, &length) ||
        !reader.Encoded(encoding, &landingPad)) {
      return CallSite::kNotListed;
    }
    reader.Uleb128();  // action
    if (wanted < regionStart + start) break;  // the table is sorted
    if (wanted < regionStart + start + length) {
      return landingPad != 0 ? CallSite::kLandingPad : CallSite::kPassesThrough;
    }
  }
  return CallSite::kNotListed;
}

}  // namespace fault_translation
