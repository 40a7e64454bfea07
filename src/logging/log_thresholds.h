#pragma once

#include <atomic>

#include "logging/log_levels.h"

// The thresholds of a logger's four outputs and the highest of them, the queue level.
// Every logging call is judged first by the queue level alone: a level above it reaches
// no output (level 5 aside), so a disabled call costs one load and a compare, with no
// call, no lock and no sight of the logger itself.
//
// Concurrency: written by the logger's owner before Start and by the logger thread when
// it reads its settings; read by every logging thread without a lock. Each is a single
// aligned value, so relaxed atomics suffice: a caller that sees a threshold change a
// moment late logs or skips one record as it would have a moment earlier.
class LogThresholds {
 public:
  static constexpr int kHighest = 15;
  // Each threshold before any setting is read, and when the settings key has no valid
  // value for it (the debug file's default is its owner's to change).
  static constexpr int kDefaultDebugFile = kLogInformation;
  static constexpr int kDefaultEventLog = kLogWarning;
  static constexpr int kDefaultSyslog = kLogWarning;
  static constexpr int kDefaultConsole = kLogInformation;

  constexpr LogThresholds() = default;
  LogThresholds(const LogThresholds&) = delete;
  LogThresholds& operator=(const LogThresholds&) = delete;

  int DebugFile() const noexcept { return debugFile_.load(std::memory_order_relaxed); }
  int EventLog() const noexcept { return eventLog_.load(std::memory_order_relaxed); }
  int Syslog() const noexcept { return syslog_.load(std::memory_order_relaxed); }
  int Console() const noexcept { return console_.load(std::memory_order_relaxed); }
  int QueueLevel() const noexcept { return queueLevel_.load(std::memory_order_relaxed); }

  // Whether some output could take a record of this level.
  bool Admits(int level) const noexcept { return LevelPasses(level, QueueLevel()); }

  // Each keeps its threshold within 0-15 and the queue level the highest of the four.
  void SetDebugFile(int level) noexcept { Store(&debugFile_, level); }
  void SetEventLog(int level) noexcept { Store(&eventLog_, level); }
  void SetSyslog(int level) noexcept { Store(&syslog_, level); }
  void SetConsole(int level) noexcept { Store(&console_, level); }
  // The four as the settings key gave them (already checked), then the queue level.
  void SetAsRead(int debugFile, int eventLog, int syslog, int console) noexcept {
    debugFile_.store(debugFile, std::memory_order_relaxed);
    eventLog_.store(eventLog, std::memory_order_relaxed);
    syslog_.store(syslog, std::memory_order_relaxed);
    console_.store(console, std::memory_order_relaxed);
    UpdateQueueLevel();
  }
  // Sets the queue level to the highest threshold, writing it only when it changes.
  void UpdateQueueLevel() noexcept {
    int highest = DebugFile();
    for (const int threshold : {EventLog(), Syslog(), Console()}) {
      if (threshold > highest) highest = threshold;
    }
    if (highest != QueueLevel()) queueLevel_.store(highest, std::memory_order_relaxed);
  }

 private:
  void Store(std::atomic<int>* threshold, int level) noexcept {
    threshold->store(level < 0 ? 0 : (level > kHighest ? kHighest : level), std::memory_order_relaxed);
    UpdateQueueLevel();
  }

  std::atomic<int> debugFile_{kDefaultDebugFile};
  std::atomic<int> eventLog_{kDefaultEventLog};
  std::atomic<int> syslog_{kDefaultSyslog};
  std::atomic<int> console_{kDefaultConsole};
  std::atomic<int> queueLevel_{kDefaultDebugFile};
};

// The process-wide logger's thresholds, which the gate of every logging call reads. Built
// before anything runs (constant initialisation), so no start-up order applies to it.
extern LogThresholds g_processLogThresholds;
