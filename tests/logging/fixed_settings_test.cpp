// Settings an owner fixes over the settings key: applied at once, and kept at every read
// of the key while the settings left open follow the key.

#include <gtest/gtest.h>

#include "logging/debug_logger.h"
#include "support/scratch_key_test.h"

namespace {

class FixedSettingsKey : public ScratchKeyTest {
 public:
  FixedSettingsKey() : ScratchKeyTest(L"FixedSettings-") {}
};

DebugLogger::FixedSettings CommandLineLike() {
  DebugLogger::FixedSettings fixed;
  fixed.consoleLogEnabled = true;
  fixed.sysLogEnabled = false;
  fixed.debugLogEnabled = false;
  fixed.addSyslogHeader = false;
  fixed.blockingSyslog = false;
  fixed.debugLogEncoding = 2;
  fixed.debugLogMaxDailyFileAge = 7;
  fixed.consoleLogLevelAtLeast = 4;
  fixed.debugLogLevelAtLeast = 4;
  fixed.sysLogLevelAtLeast = 4;
  return fixed;
}

void ExpectFixed(const DebugLogger& logger) {
  EXPECT_TRUE(logger.ConsoleLogEnabled());
  EXPECT_FALSE(logger.SysLogEnabled());
  EXPECT_FALSE(logger.DebugLogEnabled());
  EXPECT_FALSE(logger.AddSyslogHeader());
  EXPECT_FALSE(logger.BlockingSyslog());
  EXPECT_EQ(logger.DebugLogEncoding(), 2);
  EXPECT_EQ(logger.DebugLogMaxDailyFileAge(), 7);
  EXPECT_EQ(logger.ConsoleLogLevel(), 4);
}

TEST_F(FixedSettingsKey, FixedValuesApplyAtOnceAndHoldAtEveryRead) {
  DebugLogger logger;
  // The event log is left to the key; off on both sides, so no event source opens.
  logger.SetEventLogEnabled(false);
  logger.SetFixedSettings(CommandLineLike());
  ExpectFixed(logger);
  EXPECT_EQ(logger.DebugLogLevel(), 4);
  EXPECT_EQ(logger.QueueLevel(), 4);

  // A key that says otherwise about everything, and sets what was left open.
  for (const wchar_t* name : {L"ConsoleLogEnabled", L"SysLogEnabled", L"DebugLogEnabled", L"AddSyslogHeader",
                              L"BlockingSyslog"}) {
    StoreDword(name, name == std::wstring(L"ConsoleLogEnabled") ? 0 : 1);
  }
  StoreDword(L"DebugLogEncoding", 1);
  StoreDword(L"DebugLogMaxDailyFileAge", 30);
  StoreDword(L"ConsoleLogLevel", 1);
  StoreDword(L"DebugLogLevel", 0);
  StoreDword(L"SysLogLevel", 9);
  StoreDword(L"EventLogLevel", 1);
  StoreDword(L"EventLogEnabled", 0);
  logger.SetSettingsKey(path_, true);
  for (int read = 1; read <= 2; ++read) {
    SCOPED_TRACE(read);
    logger.ReadSettings();
    ExpectFixed(logger);
    EXPECT_EQ(logger.DebugLogLevel(), 4) << "raised to the floor";
    EXPECT_EQ(logger.SysLogLevel(), 9) << "above the floor: as the key says";
    EXPECT_EQ(logger.EventLogLevel(), 1) << "not fixed: as the key says";
    EXPECT_EQ(logger.QueueLevel(), 9);
  }

  // Without fixed settings the same key has its way.
  DebugLogger plain;
  plain.SetEventLogEnabled(false);
  plain.SetSysLogEnabled(false);
  plain.SetSettingsKey(path_, true);
  StoreDword(L"SysLogEnabled", 0);
  plain.ReadSettings();
  EXPECT_FALSE(plain.ConsoleLogEnabled());
  EXPECT_EQ(plain.ConsoleLogLevel(), 1);
  EXPECT_EQ(plain.DebugLogLevel(), 0);
  EXPECT_TRUE(plain.AddSyslogHeader());
  EXPECT_EQ(plain.DebugLogEncoding(), 1);
}

}  // namespace
