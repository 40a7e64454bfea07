#include "logging/log_record.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>
#include <type_traits>
#include <utility>

namespace {

constexpr std::int64_t kFileTimeUnitsPerSecond = 10000000;

// The local time now, as GetLocalTime gives it, for a fraction of its cost: the system's
// conversion to local time is most of that cost, and the difference between local time
// and UTC changes only at a whole second (a daylight-saving change) or when the time zone
// is set, so each thread keeps the difference of the last second it asked about and asks
// again when the second changes. The date and time fields of the last local second are
// kept too: within a second only the milliseconds move.
void LocalTimeNow(SYSTEMTIME* time) {
  struct LastSecond {
    std::int64_t second = -1;
    std::int64_t localMinusUtc = 0;
    std::int64_t localSecond = -1;
    SYSTEMTIME localFields{};
  };
  thread_local LastSecond last;
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const std::int64_t utc =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  const std::int64_t second = utc / kFileTimeUnitsPerSecond;
  if (second != last.second) {
    FILETIME local;
    if (!::FileTimeToLocalFileTime(&now, &local)) {
      ::GetLocalTime(time);
      return;
    }
    last.second = second;
    last.localMinusUtc =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime) - utc;
  }
  const std::int64_t local = utc + last.localMinusUtc;
  const std::int64_t localSecond = local / kFileTimeUnitsPerSecond;
  if (localSecond != last.localSecond) {
    const auto secondStart = static_cast<std::uint64_t>(localSecond * kFileTimeUnitsPerSecond);
    const FILETIME localTime{static_cast<DWORD>(secondStart), static_cast<DWORD>(secondStart >> 32)};
    if (!::FileTimeToSystemTime(&localTime, &last.localFields)) {
      last.localSecond = -1;
      ::GetLocalTime(time);
      return;
    }
    last.localSecond = localSecond;
  }
  *time = last.localFields;
  time->wMilliseconds = static_cast<WORD>(local % kFileTimeUnitsPerSecond / (kFileTimeUnitsPerSecond / 1000));
}

// A SYSTEMTIME in 64 bits, each field in as many bits as its values need: milliseconds
// 10, second and minute 6 each, hour and day 5 each, day of the week 3, month 4, year 16.
constexpr int kSecondShift = 10;
constexpr int kMinuteShift = 16;
constexpr int kHourShift = 22;
constexpr int kDayShift = 27;
constexpr int kDayOfWeekShift = 32;
constexpr int kMonthShift = 35;
constexpr int kYearShift = 39;

std::uint64_t PackedTime(const SYSTEMTIME& time) noexcept {
  const auto field = [](WORD value, unsigned bits, int shift) {
    return static_cast<std::uint64_t>(value & ((1u << bits) - 1)) << shift;
  };
  return field(time.wMilliseconds, 10, 0) | field(time.wSecond, 6, kSecondShift) |
         field(time.wMinute, 6, kMinuteShift) | field(time.wHour, 5, kHourShift) | field(time.wDay, 5, kDayShift) |
         field(time.wDayOfWeek, 3, kDayOfWeekShift) | field(time.wMonth, 4, kMonthShift) |
         field(time.wYear, 16, kYearShift);
}

SYSTEMTIME UnpackedTime(std::uint64_t packed) noexcept {
  const auto field = [packed](unsigned bits, int shift) {
    return static_cast<WORD>((packed >> shift) & ((1u << bits) - 1));
  };
  SYSTEMTIME time;
  time.wYear = field(16, kYearShift);
  time.wMonth = field(4, kMonthShift);
  time.wDayOfWeek = field(3, kDayOfWeekShift);
  time.wDay = field(5, kDayShift);
  time.wHour = field(5, kHourShift);
  time.wMinute = field(6, kMinuteShift);
  time.wSecond = field(6, kSecondShift);
  time.wMilliseconds = field(10, 0);
  return time;
}

std::uint64_t PackedLocalTimeNow() {
  SYSTEMTIME now;
  LocalTimeNow(&now);
  return PackedTime(now);
}

template <typename Char>
bool IsAscii(const Char* text, std::size_t length) noexcept {
  std::make_unsigned_t<Char> seen = 0;
  for (std::size_t i = 0; i < length; ++i) seen |= static_cast<std::make_unsigned_t<Char>>(text[i]);
  return seen < 0x80;
}

// Copies `length` characters and a terminator into a record's text, each character
// unchanged in value: narrowing is used only on ASCII text, widening on any.
template <typename To, typename From>
void CopyText(To* to, const From* from, std::size_t length) noexcept {
  if constexpr (sizeof(To) == sizeof(From)) {
    if (length > 0) std::memcpy(to, from, length * sizeof(To));
  } else {
    for (std::size_t i = 0; i < length; ++i) to[i] = static_cast<To>(static_cast<std::make_unsigned_t<From>>(from[i]));
  }
  to[length] = 0;
}

// What a thread carves record blocks out of, in bytes after the chunk's header.
constexpr std::size_t kChunkSpace = 64 * 1024;
// A larger block gets an allocation of its own, so a chunk always holds many records.
constexpr std::size_t kLargestCarvedBlock = kChunkSpace / 8;
// What a chunk's count starts at while its thread carves from it: more than it can ever
// hold records, so the deletions of its records cannot take the count to zero before
// the thread has moved on and given back this hold less the records it carved.
constexpr std::size_t kCarvingHold = SIZE_MAX / 2;

std::atomic<std::size_t> g_chunksHeld{0};

}  // namespace

// The header of a chunk; the blocks follow it, aligned for records.
class alignas(16) RecordChunk {
 public:
  unsigned char* Space() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }

  static RecordChunk* New() {
    auto* chunk = new (::operator new(sizeof(RecordChunk) + kChunkSpace)) RecordChunk;
    // Every page touched now, in one go: a page first touched by a logging call would
    // cost that call a page fault, and one call in a few dozen would pay for one.
    std::memset(chunk->Space(), 0, kChunkSpace);
    g_chunksHeld.fetch_add(1, std::memory_order_relaxed);
    return chunk;
  }

  // Gives up `count` of the chunk's holds; the last one gives the chunk back to the heap.
  // Release and acquire: whoever frees (or carves the chunk again) sees every record in
  // it already scrubbed.
  void Release(std::size_t count) noexcept {
    if (holders_.fetch_sub(count, std::memory_order_acq_rel) != count) return;
    this->~RecordChunk();
    ::operator delete(this);
    g_chunksHeld.fetch_sub(1, std::memory_order_relaxed);
  }

  // True when every one of the `carved` records of its thread has been deleted: nothing
  // but the thread holds the chunk, and nothing else can take a new hold on it.
  bool OnlyCarverHolds(std::size_t carved) const noexcept {
    return holders_.load(std::memory_order_acquire) == kCarvingHold - carved;
  }
  void HoldForCarvingAgain() noexcept { holders_.store(kCarvingHold, std::memory_order_relaxed); }

 private:
  // Records of the chunk not yet deleted, plus the carving hold while its thread uses it.
  std::atomic<std::size_t> holders_{kCarvingHold};
};

namespace {

static_assert(sizeof(RecordChunk) % alignof(LogRecord) == 0, "blocks start aligned after the header");

// A thread's current chunk and how far it has carved it. Belongs to its thread alone.
class ChunkCarver {
 public:
  ChunkCarver() = default;
  ChunkCarver(const ChunkCarver&) = delete;
  ChunkCarver& operator=(const ChunkCarver&) = delete;
  // At the thread's end: its chunk goes back to the heap with the last of its records.
  ~ChunkCarver() { MoveOff(); }

  // The calling thread's carver, made at its first record; null when the thread cannot
  // have one (its records then get blocks of their own).
  static ChunkCarver* OfThisThread();

  void* Carve(std::size_t bytes, RecordChunk** from) {
    if (chunk_ == nullptr || used_ + bytes > kChunkSpace) {
      if (chunk_ != nullptr && chunk_->OnlyCarverHolds(carved_)) {
        // The logger thread has caught up: the same memory serves again, warm, with no
        // call of the heap.
        chunk_->HoldForCarvingAgain();
      } else {
        RecordChunk* const fresh = RecordChunk::New();
        MoveOff();
        chunk_ = fresh;
      }
      used_ = 0;
      carved_ = 0;
    }
    void* const block = chunk_->Space() + used_;
    used_ += bytes;
    ++carved_;
    *from = chunk_;
    return block;
  }

 private:
  void MoveOff() noexcept {
    if (chunk_ != nullptr) chunk_->Release(kCarvingHold - carved_);
    chunk_ = nullptr;
  }

  RecordChunk* chunk_ = nullptr;
  std::size_t used_ = 0;    // bytes carved from the front
  std::size_t carved_ = 0;  // records carved, deleted or not
};

void WINAPI EndCarving(void* carver) { delete static_cast<ChunkCarver*>(carver); }

// A fiber-local slot rather than a thread_local object: the slot's callback runs at the
// end of every thread, however it was started, while a thread_local object's destructor
// under mingw may run after the storage of the thread's thread_local objects is gone.
DWORD CarverSlot() noexcept {
  static const DWORD slot = ::FlsAlloc(&EndCarving);
  return slot;
}

ChunkCarver* ChunkCarver::OfThisThread() {
  const DWORD slot = CarverSlot();
  if (slot == FLS_OUT_OF_INDEXES) return nullptr;
  // A logging call leaves the caller's last error as it found it.
  const DWORD lastError = ::GetLastError();
  auto* carver = static_cast<ChunkCarver*>(::FlsGetValue(slot));
  if (carver == nullptr) {
    carver = new ChunkCarver;
    if (!::FlsSetValue(slot, carver)) {
      delete carver;
      carver = nullptr;
    }
  }
  ::SetLastError(lastError);
  return carver;
}

}  // namespace

std::size_t LogRecord::ChunksHeld() noexcept { return g_chunksHeld.load(std::memory_order_relaxed); }

std::unique_ptr<LogRecord> LogRecord::Create(DWORD eventId, DWORD threadId, int level, const wchar_t* message,
                                             std::size_t messageLength, const wchar_t* userText) {
  if (message == nullptr) messageLength = 0;
  return Build(eventId, threadId, level, message, messageLength, IsAscii(message, messageLength), userText);
}

std::unique_ptr<LogRecord> LogRecord::CreateAscii(DWORD eventId, DWORD threadId, int level, const char* message,
                                                  std::size_t messageLength, const wchar_t* userText) {
  if (message == nullptr) messageLength = 0;
  return Build(eventId, threadId, level, message, messageLength, true, userText);
}

template <typename Char>
std::unique_ptr<LogRecord> LogRecord::Build(DWORD eventId, DWORD threadId, int level, const Char* message,
                                            std::size_t messageLength, bool messageIsAscii, const wchar_t* userText) {
  const std::size_t userTextLength = userText == nullptr ? 0 : std::wcslen(userText);
  // A text is at most a formatted message (1023 characters) or an owner's user text;
  // the lengths are kept in 32 bits so the header stays small on both architectures.
  if (messageLength > UINT32_MAX / 4 || userTextLength > UINT32_MAX / 4) throw std::bad_alloc();
  const RecordTextForm form =
      messageIsAscii && IsAscii(userText, userTextLength) ? RecordTextForm::kAscii : RecordTextForm::kUtf16;
  const std::size_t bytes = BlockBytes(messageLength, userTextLength, form);
  RecordChunk* chunk = nullptr;
  ChunkCarver* const carver = bytes <= kLargestCarvedBlock ? ChunkCarver::OfThisThread() : nullptr;
  void* const block = carver != nullptr ? carver->Carve(bytes, &chunk) : ::operator new(bytes);
  std::unique_ptr<LogRecord> record(new (block) LogRecord(eventId, threadId, level,
                                                          static_cast<std::uint32_t>(messageLength),
                                                          static_cast<std::uint32_t>(userTextLength), form, chunk));
  const auto fill = [&](auto* texts) {
    CopyText(texts, message, messageLength);
    CopyText(texts + messageLength + 1, userText, userTextLength);
  };
  if (form == RecordTextForm::kAscii) {
    fill(reinterpret_cast<char*>(record->Texts()));
  } else {
    fill(reinterpret_cast<wchar_t*>(record->Texts()));
  }
  return record;
}

LogRecord::LogRecord(DWORD eventIdIn, DWORD threadIdIn, int levelIn, std::uint32_t messageLength,
                     std::uint32_t userTextLength, RecordTextForm textForm, RecordChunk* chunk) noexcept
    : eventId(eventIdIn),
      threadId(threadIdIn),
      level(levelIn),
      textForm_(textForm),
      messageLength_(messageLength),
      userTextLength_(userTextLength),
      time_(PackedLocalTimeNow()),
      chunk_(chunk) {}

LogRecord::~LogRecord() { ::SecureZeroMemory(Texts(), TextBytes()); }

std::size_t LogRecord::TextBytes() const noexcept {
  const std::size_t unitBytes = textForm_ == RecordTextForm::kAscii ? sizeof(char) : sizeof(wchar_t);
  return (static_cast<std::size_t>(messageLength_) + userTextLength_ + 2) * unitBytes;
}

SYSTEMTIME LogRecord::Time() const noexcept { return UnpackedTime(time_); }

std::wstring LogRecord::Message() const {
  if (textForm_ == RecordTextForm::kAscii) {
    const auto* const bytes = reinterpret_cast<const char*>(Texts());
    return std::wstring(bytes, bytes + messageLength_);
  }
  return std::wstring(reinterpret_cast<const wchar_t*>(Texts()), messageLength_);
}

std::wstring LogRecord::UserText() const {
  const std::size_t at = static_cast<std::size_t>(messageLength_) + 1;
  if (textForm_ == RecordTextForm::kAscii) {
    const auto* const bytes = reinterpret_cast<const char*>(Texts()) + at;
    return std::wstring(bytes, bytes + userTextLength_);
  }
  return std::wstring(reinterpret_cast<const wchar_t*>(Texts()) + at, userTextLength_);
}

RecordView LogRecord::View(WideningBuffer* widened) const {
  const wchar_t* texts = reinterpret_cast<const wchar_t*>(Texts());
  if (textForm_ == RecordTextForm::kAscii) {
    const std::size_t chars = static_cast<std::size_t>(messageLength_) + userTextLength_ + 2;
    wchar_t* const room = widened->Room(chars);
    CopyText(room, reinterpret_cast<const char*>(Texts()), chars - 1);
    texts = room;
  }
  return RecordView{Time(), threadId, level, texts, eventId, HasUserText() ? texts + messageLength_ + 1 : nullptr};
}

void LogRecord::operator delete(LogRecord* record, std::destroying_delete_t) noexcept {
  RecordChunk* const chunk = record->chunk_;
  record->~LogRecord();
  if (chunk == nullptr) {
    ::operator delete(static_cast<void*>(record));
  } else {
    chunk->Release(1);
  }
}

wchar_t* WideningBuffer::Room(std::size_t chars) {
  if (buffer_.size() < chars) {
    // At least a whole formatted message, so that only a longer text ever grows it.
    ScrubbedBuffer<wchar_t> larger(chars < 1024 ? 1024 : chars);
    Scrub();
    buffer_ = std::move(larger);
  }
  used_ = chars;
  return buffer_.get();
}

void WideningBuffer::Scrub() noexcept {
  if (used_ > 0) ::SecureZeroMemory(buffer_.get(), used_ * sizeof(wchar_t));
  used_ = 0;
}
