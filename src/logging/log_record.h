#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "logging/record_view.h"
#include "text/scrubbed_buffer.h"

class RecordChunk;

// How a record holds its texts. Most messages are ASCII, and such a text is held as
// single bytes, half the memory of its UTF-16 form; a record with any other character in
// either text holds both as UTF-16.
enum class RecordTextForm : std::uint8_t { kAscii, kUtf16 };

// Where the logger thread widens the texts of a record held as single bytes: the outputs
// read wide text, so such a record is widened once, here, for all of them. One buffer,
// kept from record to record and grown only for a longer text; its owner scrubs it as
// each record is done, so no text outlives its record.
class WideningBuffer {
 public:
  WideningBuffer() = default;
  WideningBuffer(const WideningBuffer&) = delete;
  WideningBuffer& operator=(const WideningBuffer&) = delete;

  // Room for `chars` characters, until the next call.
  wchar_t* Room(std::size_t chars);
  // Overwrites with zeros what the last room held.
  void Scrub() noexcept;

 private:
  ScrubbedBuffer<wchar_t> buffer_;
  std::size_t used_ = 0;
};

// One logged record. Created on the caller's thread, owned by the queue while it waits
// and by the logger thread once taken out.
//
// The record and both of its texts are one block: the texts follow the fields. Blocks
// are carved out of a chunk of the creating thread's own, so a record normally costs the
// caller no call of the heap at all (many callers allocating at once contend for the
// heap, and a growing queue keeps asking it for fresh pages); a chunk goes back to the
// heap once every record in it has been deleted and its thread has moved on to another
// chunk or ended. A record too large for a chunk gets a block of its own. What the queue
// counts per record is exactly its block's size.
//
// The fields are laid out for the size of the block, which a long queue holds many of:
// the time is packed into 64 bits, and the fields fall in an order that leaves no gap on
// either architecture.
class LogRecord {
 public:
  // The time is the local time now, on the creating thread. The message is copied as
  // given (the caller has already cut its trailing white space); a null or empty user
  // text gives a record without one. Texts that are all ASCII are held as single bytes.
  static std::unique_ptr<LogRecord> Create(DWORD eventId, DWORD threadId, int level, const wchar_t* message,
                                           std::size_t messageLength, const wchar_t* userText);
  // The same for a message the caller knows to be ASCII, given as its bytes.
  static std::unique_ptr<LogRecord> CreateAscii(DWORD eventId, DWORD threadId, int level, const char* message,
                                                std::size_t messageLength, const wchar_t* userText);

  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;
  // Overwrites the texts with zeros before the block is freed.
  ~LogRecord();

  // Gives the block back: to its chunk, or to the heap.
  static void operator delete(LogRecord* record, std::destroying_delete_t) noexcept;

  RecordTextForm TextForm() const noexcept { return textForm_; }
  std::size_t MessageLength() const noexcept { return messageLength_; }
  bool HasUserText() const noexcept { return userTextLength_ != 0; }
  // Copies of the texts as wide text (the user text empty when there is none), for
  // readers other than the outputs, which read View.
  std::wstring Message() const;
  std::wstring UserText() const;
  SYSTEMTIME Time() const noexcept;

  // The fields the outputs read. Texts held as single bytes are widened into `widened`,
  // which the view then points into; UTF-16 texts are read where they lie.
  RecordView View(WideningBuffer* widened) const;

  // What the record holds in memory while it is queued: the whole block. Fixed at
  // creation, so the queue counts the same bytes in and out.
  std::size_t QueuedBytes() const noexcept { return BlockBytes(messageLength_, userTextLength_, textForm_); }
  static std::size_t BlockBytes(std::size_t messageLength, std::size_t userTextLength, RecordTextForm form) noexcept {
    // Both texts keep their terminator, the missing user text included; the next block
    // in a chunk starts aligned for the fields.
    const std::size_t unitBytes = form == RecordTextForm::kAscii ? sizeof(char) : sizeof(wchar_t);
    const std::size_t bytes = sizeof(LogRecord) + (messageLength + userTextLength + 2) * unitBytes;
    return (bytes + alignof(LogRecord) - 1) / alignof(LogRecord) * alignof(LogRecord);
  }

  // Chunks taken from the heap and not yet given back, over the whole process.
  static std::size_t ChunksHeld() noexcept;

  const DWORD eventId;   // 0 stands for the level's default identifier
  const DWORD threadId;  // the reporting thread
  const int level;
  // The debug log file has this line already, or can never take it: a report line written
  // at the head of the file as it opened, or the logger's word that the file failed. The
  // other outputs still get it. Set by the logger before the record is queued.
  bool skipsDebugFile = false;

 private:
  friend class LogQueue;
  LogRecord(DWORD eventId, DWORD threadId, int level, std::uint32_t messageLength, std::uint32_t userTextLength,
            RecordTextForm textForm, RecordChunk* chunk) noexcept;

  template <typename Char>
  static std::unique_ptr<LogRecord> Build(DWORD eventId, DWORD threadId, int level, const Char* message,
                                          std::size_t messageLength, bool messageIsAscii, const wchar_t* userText);

  unsigned char* Texts() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }
  const unsigned char* Texts() const noexcept { return reinterpret_cast<const unsigned char*>(this + 1); }
  std::size_t TextBytes() const noexcept;

  const RecordTextForm textForm_;
  const std::uint32_t messageLength_;
  const std::uint32_t userTextLength_;
  // The local time of creation, a SYSTEMTIME's fields in 64 bits.
  const std::uint64_t time_;

  // The chunk the block was carved from; null for a block of its own.
  RecordChunk* const chunk_;
  // The next record in the queue's chain; touched only by the queue: by the caller that
  // links the record in, then by the logger thread once it has taken the chain.
  LogRecord* next_ = nullptr;
};

static_assert(sizeof(LogRecord) % alignof(wchar_t) == 0, "the texts follow the fields, aligned");
