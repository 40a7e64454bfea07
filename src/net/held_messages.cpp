#include "net/held_messages.h"

HeldMessages::PushOutcome HeldMessages::Push(std::string_view message, std::size_t pinned) {
  PushOutcome outcome;
  std::size_t pinnedBytes = 0;
  // Only a push that needs room walks the pinned messages (at most a window of them).
  if (bytes_ + message.size() > byteLimit_) {
    for (std::size_t i = 0; i < pinned && i < messages_.size(); ++i) pinnedBytes += messages_[i].size();
  }

  if (pinnedBytes + message.size() > byteLimit_) {
    outcome.dropped = 1;
  } else {
    // The oldest droppable message sits right behind the pinned ones.
    while (bytes_ + message.size() > byteLimit_) {
      const auto oldest = messages_.begin() + static_cast<std::ptrdiff_t>(pinned);
      bytes_ -= oldest->size();
      messages_.erase(oldest);
      ++outcome.dropped;
    }
    bytes_ += message.size();
    messages_.emplace_back(message);
  }

  if (outcome.dropped == 0) return outcome;
  outcome.dropRunBegan = droppedInRun_ == 0;
  droppedInRun_ += outcome.dropped;
  droppedTotal_ += outcome.dropped;
  return outcome;
}

void HeldMessages::PopFront() {
  bytes_ -= messages_.front().size();
  messages_.pop_front();
  // The collector takes messages again: the run of drops, if any, is over.
  droppedInRun_ = 0;
}
