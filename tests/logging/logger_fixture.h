#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "app/process_objects.h"
#include "logging/debug_logger.h"

// Collects every message the logger's intake hands over, on whatever thread logs it.
class CapturingSink : public LogRedirectSink {
 public:
  void Write(zul::ZULString& message) override {
    std::lock_guard<std::mutex> hold(mutex_);
    messages_.emplace_back(message.GetWide() != nullptr ? message.GetWide() : L"");
  }
  std::vector<std::wstring> Take() {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::exchange(messages_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::wstring> messages_;
};

inline bool WaitForRunning(const DebugLogger& logger) { return logger.WaitForRunning(5000); }

// Starts the process-wide logger with every output off and the intake's messages
// redirected to `sink`; debugLevel sets how far the level gate lets the calls through.
inline void StartRedirectedProcessLogger(CapturingSink* sink, int debugLevel = 3) {
  DebugLogger& logger = ProcessDebugLogger();
  logger.SetEventLogEnabled(false);
  logger.SetConsoleLogEnabled(false);
  logger.SetSettingsKey(L"", false);
  logger.SetDebugLogLevel(debugLevel);
  logger.SetEventLogLevel(2);
  logger.SetSysLogLevel(2);
  logger.SetConsoleLogLevel(3);
  logger.SetRedirectSink(sink);
  ASSERT_TRUE(logger.Start());
  ASSERT_TRUE(WaitForRunning(logger));
}

inline void StopRedirectedProcessLogger() {
  ProcessDebugLogger().Stop();
  ProcessDebugLogger().SetRedirectSink(nullptr);
  ProcessDebugLogger().SetDebugLogLevel(3);
}

// The process-wide logger, really started, with every output off and the intake's
// messages redirected to a sink the test reads. The logging calls under test thus run
// their whole road: gate, check, running test, formatting, intake.
class RunningProcessLogger : public testing::Test {
 protected:
  void SetUp() override { StartRedirectedProcessLogger(&sink_); }
  void TearDown() override { StopRedirectedProcessLogger(); }

  CapturingSink sink_;
};
