#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "logging/record_view.h"

class RecordChunk;

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
class LogRecord {
 public:
  // The time is the local time now, on the creating thread. The message is copied as
  // given (the caller has already cut its trailing white space); a null or empty user
  // text gives a record without one.
  static std::unique_ptr<LogRecord> Create(DWORD eventId, DWORD threadId, int level, const wchar_t* message,
                                           std::size_t messageLength, const wchar_t* userText);

  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;
  // Overwrites the texts with zeros before the block is freed.
  ~LogRecord();

  // Gives the block back: to its chunk, or to the heap.
  static void operator delete(LogRecord* record, std::destroying_delete_t) noexcept;

  const wchar_t* Message() const noexcept { return Texts(); }
  std::size_t MessageLength() const noexcept { return messageLength_; }
  // Null when the record has no user text.
  const wchar_t* UserText() const noexcept { return userTextLength_ == 0 ? nullptr : Texts() + messageLength_ + 1; }
  // The fields the outputs read.
  RecordView View() const noexcept { return RecordView{time, threadId, level, Message(), eventId, UserText()}; }

  // What the record holds in memory while it is queued: the whole block. Fixed at
  // creation, so the queue counts the same bytes in and out.
  std::size_t QueuedBytes() const noexcept { return BlockBytes(messageLength_, userTextLength_); }
  static std::size_t BlockBytes(std::size_t messageLength, std::size_t userTextLength) noexcept {
    // Both texts keep their terminator, the missing user text included; the next block
    // in a chunk starts aligned for the fields.
    const std::size_t bytes = sizeof(LogRecord) + (messageLength + userTextLength + 2) * sizeof(wchar_t);
    return (bytes + alignof(LogRecord) - 1) / alignof(LogRecord) * alignof(LogRecord);
  }

  // Chunks taken from the heap and not yet given back, over the whole process.
  static std::size_t ChunksHeld() noexcept;

  const DWORD eventId;   // 0 stands for the level's default identifier
  const DWORD threadId;  // the reporting thread
  const int level;
  SYSTEMTIME time;
  // The debug log file has this line already, or can never take it: a report line written
  // at the head of the file as it opened, or the logger's word that the file failed. The
  // other outputs still get it. Set by the logger before the record is queued.
  bool skipsDebugFile = false;

 private:
  friend class LogQueue;
  LogRecord(DWORD eventId, DWORD threadId, int level, std::uint32_t messageLength,
            std::uint32_t userTextLength, RecordChunk* chunk) noexcept;

  wchar_t* Texts() noexcept { return reinterpret_cast<wchar_t*>(this + 1); }
  const wchar_t* Texts() const noexcept { return reinterpret_cast<const wchar_t*>(this + 1); }

  const std::uint32_t messageLength_;
  const std::uint32_t userTextLength_;

  // The chunk the block was carved from; null for a block of its own.
  RecordChunk* const chunk_;
  // The next record in the queue's chain; touched only by the queue: by the caller that
  // links the record in, then by the logger thread once it has taken the chain.
  LogRecord* next_ = nullptr;
};

static_assert(sizeof(LogRecord) % alignof(wchar_t) == 0, "the texts follow the fields, aligned");
