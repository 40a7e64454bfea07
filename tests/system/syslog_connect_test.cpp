// varrowmere-logger against a TCP collector that never answers a connect: its accept
// queue is full, so the system drops every further connect request without a word, as a
// firewall that drops silently would. The connect gives up at its time limit, and with
// --nonblocking-syslog no output waits for it at all.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logging/syslog_output.h"
#include "net/socket_steps.h"
#include "support/child_process.h"
#include "support/scratch_folder.h"
#include "support/test_anchor_certificate.h"
#include "system/logger_run.h"
#include "win32/unique_socket.h"

namespace {

// A loopback listener that accepts nobody, with its accept queue filled by connections
// of its own; the first connect left without an answer shows the queue is full.
class StuckCollector {
 public:
  StuckCollector() {
    listener_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
    EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    int length = sizeof(address);
    EXPECT_EQ(::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ::ntohs(address.sin_port);
    EXPECT_EQ(::listen(listener_.get(), 0), 0);
    for (int i = 0; i < 64 && !stuck_; ++i) {
      UniqueSocket filler(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
      u_long nonBlocking = 1;
      ::ioctlsocket(filler.get(), FIONBIO, &nonBlocking);
      ::connect(filler.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
      stuck_ = AwaitConnect(filler.get(), 500).outcome == ConnectProgress::kPending;
      fillers_.push_back(std::move(filler));
    }
  }

  bool stuck() const { return stuck_; }
  std::wstring Entry() const { return Entry(L"/tcp"); }
  std::wstring Entry(const wchar_t* kind) const { return L"127.0.0.1:" + std::to_wstring(port_) + kind; }

 private:
  SocketLibrary sockets_;
  UniqueSocket listener_;
  std::vector<UniqueSocket> fillers_;
  u_short port_ = 0;
  bool stuck_ = false;
};

// A run of the logger that logs "one two three" to the console: how long until the
// console had every record, and until the logger ended.
struct TimedRun {
  bool consoleComplete = false;
  ULONGLONG consoleMs = 0;
  ULONGLONG exitMs = 0;
  ChildResult result;
};

TimedRun RunTimed(const std::wstring& arguments) {
  TimedRun run;
  const ULONGLONG started = ::GetTickCount64();
  RunningChild logger(Logger(L"--no-event-log --console --level 4 " + arguments + L" one two three"));
  EXPECT_TRUE(logger.started());
  run.consoleComplete = logger.WaitForOutput("} three\r\n", 60000);
  run.consoleMs = ::GetTickCount64() - started;
  run.result = logger.Finish(60000);
  run.exitMs = ::GetTickCount64() - started;
  return run;
}

TEST(SyslogConnect, ACollectorThatNeverAnswersHoldsNoOutputBeyondTheLimit) {
  StuckCollector collector;
  ASSERT_TRUE(collector.stuck()) << "the accept queue did not fill";
  constexpr DWORD kLimit = SyslogOutput::kConnectLimitMs;
  // What the thread start, a logger cycle and a loaded machine may add.
  constexpr DWORD kMargin = 3000;
  const struct {
    const char* name;
    const wchar_t* option;
    DWORD consoleWithinMs;  // until the console has every record
    bool givesUp;           // the connect runs out its time while the logger runs
  } cases[] = {
      {"blocking: the logger waits for the connect, up to the limit", L"", kLimit + kMargin, true},
      {"non-blocking: no output waits for the connect", L"--nonblocking-syslog", kLimit, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TimedRun run = RunTimed(L"--syslog " + collector.Entry() + L" " + c.option);
    const ChildResult& result = run.result;
    const bool consoleComplete = run.consoleComplete;
    const ULONGLONG consoleMs = run.consoleMs;
    const ULONGLONG exitMs = run.exitMs;

    ASSERT_TRUE(consoleComplete) << result.out;
    EXPECT_LE(consoleMs, c.consoleWithinMs) << "until the console had every record";
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_LE(exitMs, 2 * kLimit + kMargin) << "until the logger ended";
    // The connect that ran out of time says so, with the time-out's error.
    const bool toldTimedOut =
        result.out.find("ERROR=10060, EVENTMSG=\"Connect failed to 127.0.0.1\"") != std::string::npos;
    EXPECT_EQ(toldTimedOut, c.givesUp) << result.out;
  }
}


// RELP and TLS collectors never hold the logger thread up, blocking syslog or not: their
// connects go on between the cycles, the console gets every record at once, and at the
// end they share one time limit to deliver, then the logger says what they did not get.
TEST(SyslogConnect, RelpAndTlsCollectorsThatNeverAnswerHoldNoOutput) {
  StuckCollector collector;
  ASSERT_TRUE(collector.stuck()) << "the accept queue did not fill";
  ScratchFolder folder(L"syslog-connect-");
  const std::wstring caFile = folder / L"ca.pem";
  {
    UniqueFileHandle file(::CreateFileW(caFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), kTestAnchorPem, sizeof(kTestAnchorPem) - 1, &written, nullptr));
  }
  constexpr DWORD kLimit = SyslogOutput::kConnectLimitMs;
  constexpr DWORD kMargin = 3000;
  const TimedRun run = RunTimed(L"--syslog " + collector.Entry(L"/relp") + L"," + collector.Entry(L"/tls") + L"," +
                                collector.Entry(L"/relp+tls") + L" --syslog-ca \"" + caFile + L"\"");
  const ChildResult& result = run.result;
  const bool consoleComplete = run.consoleComplete;
  const ULONGLONG consoleMs = run.consoleMs;
  const ULONGLONG exitMs = run.exitMs;

  ASSERT_TRUE(consoleComplete) << result.out;
  EXPECT_LE(consoleMs, kLimit) << "until the console had every record";
  EXPECT_TRUE(result.finished);
  EXPECT_LE(exitMs, kLimit + kMargin) << "until the logger ended";
  // Nothing was delivered, and the logger says so for each of them.
  EXPECT_EQ(result.exitCode, 1u) << result.err;
  for (const wchar_t* kind : {L"/relp", L"/tls", L"/relp+tls"}) {
    const std::wstring entry = collector.Entry(kind);
    const std::string narrow(entry.begin(), entry.end());
    EXPECT_NE(result.err.find("collector: " + narrow + " delivered=0 dropped=0 undelivered="), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("varrowmere-logger: " + narrow + ": "), std::string::npos) << result.err;
  }
}

}  // namespace
