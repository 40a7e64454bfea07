#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

// Messages waiting for a collector, oldest first, bounded in bytes. A new message that
// would take them past the bound makes room by dropping the oldest that may go: the
// front `pinned` ones are on the wire, waiting for the collector's answer, and stay (the
// window of the protocol bounds them). A message larger than the whole room is itself
// dropped.
//
// Drops come in runs (a collector that is down or slow costs many messages in a row):
// the first push that drops begins a run, and the run lasts until a message leaves the
// front for the collector (PopFront), so the owner can tell each run once instead of
// each message. A push that happens to fit in the room an earlier drop left (a short
// message after a long one went) does not end it.
//
// Threading: one owner thread (the logger thread); no lock.
class HeldMessages {
 public:
  struct PushOutcome {
    std::size_t dropped = 0;    // messages dropped by this push, the new one included
    bool dropRunBegan = false;  // this push dropped, the one before did not
  };

  explicit HeldMessages(std::size_t byteLimit) : byteLimit_(byteLimit) {}

  PushOutcome Push(std::string_view message, std::size_t pinned);
  void PopFront();

  bool Empty() const noexcept { return messages_.empty(); }
  std::size_t Count() const noexcept { return messages_.size(); }
  std::size_t Bytes() const noexcept { return bytes_; }
  std::size_t ByteLimit() const noexcept { return byteLimit_; }
  const std::string& At(std::size_t index) const { return messages_[index]; }
  const std::string& Front() const { return messages_.front(); }
  // Every message dropped since this queue was made.
  std::uint64_t DroppedTotal() const noexcept { return droppedTotal_; }
  // Dropped in the run under way (0 once a message left for the collector since).
  std::uint64_t DroppedInRun() const noexcept { return droppedInRun_; }

 private:
  std::deque<std::string> messages_;
  std::size_t bytes_ = 0;  // sum of the messages' sizes
  std::size_t byteLimit_;
  std::uint64_t droppedTotal_ = 0;
  std::uint64_t droppedInRun_ = 0;
};
