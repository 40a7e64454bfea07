#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

// One logged record. Created on the caller's thread, owned by the queue while it waits
// and by the logger thread once taken out.
//
// The record and both of its texts are one allocation: the texts follow the fields in the
// same block, so a record costs the caller one allocation and the logger thread one free,
// and what the queue holds per record is exactly the block's size.
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

  static void operator delete(void* block) noexcept;

  const wchar_t* Message() const noexcept { return Texts(); }
  std::size_t MessageLength() const noexcept { return messageLength_; }
  // Null when the record has no user text.
  const wchar_t* UserText() const noexcept { return userTextLength_ == 0 ? nullptr : Texts() + messageLength_ + 1; }

  // What the record holds in memory while it is queued: the whole block. Fixed at
  // creation, so the queue counts the same bytes in and out.
  std::size_t QueuedBytes() const noexcept { return BlockBytes(messageLength_, userTextLength_); }
  static std::size_t BlockBytes(std::size_t messageLength, std::size_t userTextLength) noexcept {
    // Both texts keep their terminator, the missing user text included.
    return sizeof(LogRecord) + (messageLength + userTextLength + 2) * sizeof(wchar_t);
  }

  const DWORD eventId;   // 0 stands for the level's default identifier
  const DWORD threadId;  // the reporting thread
  const int level;
  SYSTEMTIME time;

 private:
  friend class LogQueue;
  struct TextSpace {
    std::size_t bytes;
  };

  LogRecord(DWORD eventId, DWORD threadId, int level, std::uint32_t messageLength,
            std::uint32_t userTextLength) noexcept;
  static void* operator new(std::size_t size, TextSpace space);
  // Frees the block should the constructor ever throw.
  static void operator delete(void* block, TextSpace space) noexcept;

  wchar_t* Texts() noexcept { return reinterpret_cast<wchar_t*>(this + 1); }
  const wchar_t* Texts() const noexcept { return reinterpret_cast<const wchar_t*>(this + 1); }

  const std::uint32_t messageLength_;
  const std::uint32_t userTextLength_;
  // The next record in the queue's chain; touched only by the queue: by the caller that
  // links the record in, then by the logger thread once it has taken the chain.
  LogRecord* next_ = nullptr;
};

static_assert(sizeof(LogRecord) % alignof(wchar_t) == 0, "the texts follow the fields, aligned");
