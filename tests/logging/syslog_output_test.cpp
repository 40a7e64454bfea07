// The syslog output: the server list, the line format, and the output against collectors
// of the test's own on loopback (real sockets: the test plays the collector). The lines as
// a real collector (rsyslog) receives them are checked in tests/system/syslog_test.sh.

#include "logging/syslog_output.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "logging/debug_logger.h"
#include "logging/logger_fixture.h"
#include "support/crlf_lines.h"
#include "support/scratch_key_test.h"
#include "support/stdout_capture.h"

namespace {

TEST(SyslogServerList, EachEntryGivesOneTargetInListOrder) {
  struct Expected {
    const char* host;
    u_short port;
    bool tcp;
  };
  const struct {
    const char* list;
    std::vector<Expected> targets;
  } cases[] = {
      {"collector1", {{"collector1", 514, false}}},
      {"collector1:601/tcp", {{"collector1", 601, true}}},
      {"collector1:601/TCP", {{"collector1", 601, true}}},
      {"collector1:601 /tcp", {{"collector1", 601, false}}},  // the marker must follow the digits
      {"collector1/tcp", {{"collector1/tcp", 514, false}}},   // no colon: no port, no marker
      {"a,b,", {{"a", 514, false}, {"b", 514, false}}},  // a trailing comma adds nothing
      // Nor does an entry without a host: the empty name would resolve to this machine.
      {",a", {{"a", 514, false}}},
      {"a,,b", {{"a", 514, false}, {"b", 514, false}}},
      {",", {}},
      {":601/tcp,b", {{"b", 514, false}}},
      {" 10.0.0.1:70000", {{" 10.0.0.1", 70000 & 0xFFFF, false}}},  // spaces kept, port's low 16 bits
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    const std::vector<SyslogTarget> targets = SyslogOutput::ParseServerList(c.list);
    ASSERT_EQ(targets.size(), c.targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const SyslogTarget& got = targets[i];
      EXPECT_EQ(got.host, c.targets[i].host);
      EXPECT_EQ(::ntohs(got.address.sin_port), c.targets[i].port);
      EXPECT_EQ(got.address.sin_family, AF_INET);
      EXPECT_EQ(got.socketType, c.targets[i].tcp ? SOCK_STREAM : SOCK_DGRAM);
      EXPECT_EQ(got.protocol, c.targets[i].tcp ? IPPROTO_TCP : 0);
      EXPECT_EQ(got.state, SyslogTarget::kNeverConnected);
      EXPECT_FALSE(got.socket);
    }
  }
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) narrow += static_cast<char>(c);
  return narrow;
}

// A line style as the tables below write it.
struct Style {
  bool header;
  int facility;
  const wchar_t* application;
};

// A started output (so it knows the host name) that connects nowhere.
class SyslogLine : public testing::Test {
 protected:
  void SetUp() override {
    output_.Open("127.0.0.1:9");
    ASSERT_TRUE(output_.Started());
    char host[128] = {};
    ASSERT_EQ(::gethostname(host, 127), 0);
    host_ = host;
  }
  std::string Format(const Style& style, const RecordView& record) {
    wchar_t line[SyslogOutput::kLineBufferChars];
    output_.SetLineStyle({style.header, style.facility, style.application});
    const int length = output_.FormatLine(record, line);
    EXPECT_EQ(length, static_cast<int>(std::wcslen(line)));
    return Narrow(line);
  }

  SyslogOutput output_;
  std::string host_;
};

TEST_F(SyslogLine, LayoutsPriorityAndEscapesByteForByte) {
  const SYSTEMTIME march5{2024, 3, 2, 5, 7, 8, 9, 0};
  const std::string long600(600, 'x');
  const std::wstring wideLong600(600, L'x');
  const struct {
    const char* name;
    Style style;
    RecordView record;
    std::string expected;  // %H stands for the host name
  } cases[] = {
      {"header, no user text", {true, 0, L"app"}, {march5, 0x1F0, 2, L"disk full", 0, nullptr},
       "<4>Mar 05 07:08:09 %H app {0x1F0} 0000: (#20000) disk full\n"},
      {"header and user text", {true, 0, L"app"}, {march5, 0x1F0, 3, L"m", 0x6FFF7531, L"alice"},
       "<5>Mar 05 07:08:09 %H app {0x1F0} 0001: (#30001) {alice} m\n"},
      {"no header, facility 16", {false, 16, L"app"}, {march5, 0xABC, 2, L"m", 0, nullptr},
       "<132> app {0xABC} 0002: (#20000) m\n"},
      {"no header, user text", {false, 0, L"app"}, {march5, 0xABC, 0, L"m", 0, L""},
       "<2> app {0xABC} 0003: (#00000) {} m\n"},
      {"a null message prints as the formatter prints it", {false, 0, L"app"}, {march5, 1, 5, nullptr, 0, nullptr},
       "<7> app {0x1} 0004: (#50000) (null)\n"},
      {"line breaks cannot start a second line", {false, 0, L"a\npp"},
       {march5, 1, 1, L"one\r\ntwo\n", 0, L"u\rv"}, "<3> a#012pp {0x1} 0005: (#10000) {u#015v} one#015#012two#012\n"},
      {"cut to 509 characters before the line feed", {false, 0, L"app"},
       {march5, 1, 1, wideLong600.c_str(), 0, nullptr},
       ("<3> app {0x1} 0006: (#10000) " + long600).substr(0, SyslogOutput::kLineLimit) + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string expected = c.expected;
    const std::size_t host = expected.find("%H");
    if (host != std::string::npos) expected.replace(host, 2, host_);
    EXPECT_EQ(Format(c.style, c.record), expected);
  }
}

TEST_F(SyslogLine, TheCutEndsBeforeAnEscapeThatDoesNotFitWhole) {
  // Four lengths of text before the line breaks put the cut at each place of an escape.
  for (std::size_t before = 0; before < 4; ++before) {
    SCOPED_TRACE(before);
    const std::wstring message = std::wstring(before, L'a') + std::wstring(200, L'\n');
    std::string expected = "<3> app {0x1} 000" + std::to_string(before) + ": (#10000) " + std::string(before, 'a');
    while (expected.size() + 4 <= SyslogOutput::kLineLimit) expected += "#012";
    EXPECT_EQ(Format({false, 0, L"app"}, {{}, 1, 1, message.c_str(), 0, nullptr}), expected + "\n");
  }
}

TEST_F(SyslogLine, SequenceCountsToNineThousandNineHundredNinetyNineAndWraps) {
  const Style style{false, 0, L"app"};
  const RecordView record{{}, 1, 3, L"m", 0, nullptr};
  for (int i = 0; i < SyslogOutput::kSequenceLimit; ++i) Format(style, record);
  EXPECT_EQ(Format(style, record), "<5> app {0x1} 9999: (#30000) m\n");
  EXPECT_EQ(Format(style, record), "<5> app {0x1} 0000: (#30000) m\n");
}

// ---- Against collectors of the test's own ----

// A socket on an ephemeral port of the loopback address, or of every address. A stream
// socket listens unless told not to, which leaves a port where connections are refused.
class LoopbackSocket {
 public:
  explicit LoopbackSocket(int type, bool listen = true, int receiveBuffer = 0, const char* bindTo = "127.0.0.1") {
    socket_.reset(::socket(AF_INET, type, 0));
    EXPECT_TRUE(socket_);
    if (receiveBuffer > 0) {
      ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                   sizeof(receiveBuffer));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::inet_addr(bindTo);
    EXPECT_EQ(::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    int length = sizeof(address);
    EXPECT_EQ(::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ::ntohs(address.sin_port);
    if (type == SOCK_STREAM && listen) {
      EXPECT_EQ(::listen(socket_.get(), 8), 0);
    }
  }

  std::string Entry(const char* suffix = "", const char* host = "127.0.0.1") const {
    return host + (":" + std::to_string(port_)) + suffix;
  }
  SOCKET get() const { return socket_.get(); }
  void Close() { socket_.reset(); }

  UniqueSocket Accept(DWORD timeoutMs) {
    if (!Readable(socket_.get(), timeoutMs)) return UniqueSocket();
    return UniqueSocket(::accept(socket_.get(), nullptr, nullptr));
  }

  static bool Readable(SOCKET socket, DWORD timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, &wait) == 1;
  }

 private:
  UniqueSocket socket_;
  u_short port_ = 0;
};

// One line from a stream, without its line feed; empty when none came in time or the
// stream ended first.
std::string ReadLine(SOCKET socket, DWORD timeoutMs = 5000) {
  std::string line;
  char c = 0;
  while (LoopbackSocket::Readable(socket, timeoutMs) && ::recv(socket, &c, 1, 0) == 1) {
    if (c == '\n') return line;
    line += c;
  }
  return {};
}

// Everything a stream carries until its end.
std::string ReadToEnd(SOCKET socket) {
  std::string bytes;
  char chunk[65536];
  while (LoopbackSocket::Readable(socket, 5000)) {
    const int count = ::recv(socket, chunk, sizeof(chunk), 0);
    if (count <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(count));
  }
  return bytes;
}

// The datagrams that came, each one whole, until none came for a while.
std::vector<std::string> ReadDatagrams(SOCKET socket) {
  std::vector<std::string> datagrams;
  char datagram[2048];
  while (LoopbackSocket::Readable(socket, 300)) {
    const int count = ::recv(socket, datagram, sizeof(datagram), 0);
    if (count <= 0) break;
    datagrams.emplace_back(datagram, static_cast<std::size_t>(count));
  }
  return datagrams;
}

bool StreamEnded(SOCKET socket, DWORD timeoutMs = 5000) {
  char c = 0;
  return LoopbackSocket::Readable(socket, timeoutMs) && ::recv(socket, &c, 1, 0) <= 0;
}

std::atomic<DWORD> g_ticks{1000};
DWORD WINAPI TestTicks() { return g_ticks.load(); }

// A settings key of the test's own, and the process-wide logger running with its intake
// redirected to a sink: the syslog output reports its connections through the logging
// calls, and the sink is where the test reads them.
class SyslogCollectors : public ScratchKeyTest {
 protected:
  SyslogCollectors() : ScratchKeyTest(L"Syslog-") {}
  void SetUp() override {
    ScratchKeyTest::SetUp();
    // Level 4 lets the connection messages through the gate.
    StartRedirectedProcessLogger(&sink_, kLogDebug);
  }
  void TearDown() override {
    StopRedirectedProcessLogger();
    ScratchKeyTest::TearDown();
  }

  // Waits until the connection messages seen so far hold `count` containing `text`.
  bool SawMessages(const std::wstring& text, int count, int milliseconds = 5000) {
    for (int waited = 0;; waited += 10) {
      int found = 0;
      for (const std::wstring& message : Seen()) found += message.find(text) != std::wstring::npos;
      if (found == count) return true;
      if (found > count || waited >= milliseconds) {
        ADD_FAILURE() << found << " messages with the text, expected " << count;
        return false;
      }
      ::Sleep(10);
    }
  }

  void Configure(DebugLogger* logger, const std::string& servers) {
    logger->SetEventLogEnabled(false);
    logger->SetSettingsKey(path_, true);
    logger->SetTickSource(&TestTicks);
    logger->SetSyslogServerList(servers);
  }
  bool SwitchSyslog(DebugLogger* logger, DWORD on) {
    StoreDword(L"SysLogEnabled", on);
    g_ticks += DebugLogger::kSettingsIntervalMs + 1;
    for (int i = 0; i < 5000 && logger->SysLogEnabled() != (on != 0); ++i) ::Sleep(1);
    return logger->SysLogEnabled() == (on != 0);
  }

  // The connection messages so far.
  const std::vector<std::wstring>& Seen() {
    for (std::wstring& message : sink_.Take()) seen_.push_back(std::move(message));
    return seen_;
  }

  SocketLibrary sockets_;
  CapturingSink sink_;
  std::vector<std::wstring> seen_;
};

TEST_F(SyslogCollectors, SwitchedOffEverySocketClosesAndOnParsesTheListAfresh) {
  LoopbackSocket collector(SOCK_STREAM);
  LoopbackSocket refusing(SOCK_STREAM, false);
  DebugLogger logger;
  // The collector by name: each connect resolves it afresh.
  Configure(&logger, collector.Entry("/tcp", "localhost") + "," + refusing.Entry("/tcp"));
  ASSERT_TRUE(logger.Start());
  ASSERT_TRUE(WaitForRunning(logger));

  UniqueSocket first = collector.Accept(5000);
  ASSERT_TRUE(first);
  logger.AddRecord(2, 0, 0, L"before", nullptr);
  EXPECT_EQ(ReadLine(first.get()).substr(0, 3), "<4>");
  EXPECT_TRUE(SawMessages(L"EVENTMSG=\"Connected to 127.0.0.1\"", 1));
  // The collector that refuses is told once, not at every retry.
  EXPECT_TRUE(SawMessages(L"EVENTMSG=\"Connect failed to 127.0.0.1\"", 1));

  ASSERT_TRUE(SwitchSyslog(&logger, 0));
  EXPECT_TRUE(StreamEnded(first.get())) << "switching off closes the connection";
  logger.AddRecord(2, 0, 0, L"while off", nullptr);

  ASSERT_TRUE(SwitchSyslog(&logger, 1));
  UniqueSocket second = collector.Accept(5000);
  ASSERT_TRUE(second);
  logger.AddRecord(2, 0, 0, L"after", nullptr);
  const std::string line = ReadLine(second.get());
  EXPECT_NE(line.find(") after"), std::string::npos) << line << ": nothing sent while off";
  EXPECT_TRUE(SawMessages(L"EVENTMSG=\"Connected to 127.0.0.1\"", 2));
  // A fresh list: the refusing collector is new again, so its first failure is told again.
  EXPECT_TRUE(SawMessages(L"EVENTMSG=\"Connect failed to 127.0.0.1\"", 2));
  logger.Stop();
}

TEST_F(SyslogCollectors, UnrepresentableCharacterBecomesQuestionMarkAndTheDatagramIsOneLine) {
  if (::GetACP() == CP_UTF8) GTEST_SKIP() << "the ANSI code page holds every character";
  LoopbackSocket collector(SOCK_DGRAM);
  DebugLogger logger;
  Configure(&logger, collector.Entry());
  logger.SetAddSyslogHeader(false);
  logger.SetApplicationName(L"app");
  // A snowman has no form in a Western code page; U+0100 has a look-alike ("A") that
  // would quietly change the text.
  logger.AddRecord(2, 0, 0, L"snow \x2603 man \x0100", nullptr);
  ASSERT_TRUE(logger.Start());
  ASSERT_TRUE(LoopbackSocket::Readable(collector.get(), 5000));
  char datagram[2048];
  const int count = ::recv(collector.get(), datagram, sizeof(datagram), 0);
  logger.Stop();
  ASSERT_GT(count, 0);
  const std::string line(datagram, static_cast<std::size_t>(count));
  EXPECT_EQ(line.substr(0, 9), "<4> app {");
  EXPECT_EQ(line.substr(line.size() - 28), "0000: (#20000) snow ? man ?\n");
}

TEST_F(SyslogCollectors, AnEntryWithoutAHostSendsNowhere) {
  // Bound to every address, so a line sent to this machine's own address arrives too.
  LoopbackSocket collector(SOCK_DGRAM, true, 0, "0.0.0.0");
  DebugLogger logger;
  Configure(&logger, "," + collector.Entry() + ",," + collector.Entry("", "") + ",");
  logger.SetAddSyslogHeader(false);
  logger.SetApplicationName(L"app");
  logger.AddRecord(2, 0, 0, L"first", nullptr);
  logger.AddRecord(2, 0, 0, L"second", nullptr);
  ASSERT_TRUE(logger.Start());
  ASSERT_TRUE(WaitForRunning(logger));
  logger.Stop();

  const std::vector<std::string> datagrams = ReadDatagrams(collector.get());
  ASSERT_EQ(datagrams.size(), 2u) << "each record once, from the one entry with a host";
  EXPECT_EQ(datagrams[0].substr(datagrams[0].size() - 21), "0000: (#20000) first\n");
  EXPECT_EQ(datagrams[1].substr(datagrams[1].size() - 22), "0001: (#20000) second\n");
  EXPECT_TRUE(SawMessages(L"EVENTMSG=\"Connected to ", 1));
}

TEST_F(SyslogCollectors, PriorityKeepsTheSeverityOfEveryLevelInTheRecordsFacility) {
  // Levels 0 to 5 are severities 2 to 7; every level above them is debug, the lowest.
  const int severityOfLevel[16] = {2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
  const std::regex datagram(R"(<(\d+)> app \{0x[0-9A-F]+\} \d{4}: \(#\d{5,6}\) level (\d+)\n)");
  for (const int facility : {0, 1, 23}) {
    SCOPED_TRACE(facility);
    LoopbackSocket collector(SOCK_DGRAM);
    DebugLogger logger;
    Configure(&logger, collector.Entry());
    logger.SetAddSyslogHeader(false);
    logger.SetApplicationName(L"app");
    logger.SetSyslogFacility(facility);
    logger.SetSysLogLevel(15);
    for (int level = 0; level < 16; ++level) {
      logger.AddRecord(level, 0, 0, (L"level " + std::to_wstring(level)).c_str(), nullptr);
    }
    ASSERT_TRUE(logger.Start());
    ASSERT_TRUE(WaitForRunning(logger));
    logger.Stop();

    const std::vector<std::string> datagrams = ReadDatagrams(collector.get());
    ASSERT_EQ(datagrams.size(), 16u);
    for (int level = 0; level < 16; ++level) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(datagrams[level], match, datagram)) << datagrams[level];
      EXPECT_EQ(std::stoi(match[2]), level);
      const int priority = std::stoi(match[1]);
      EXPECT_EQ(priority >> 3, facility) << "level " << level;
      EXPECT_EQ(priority & 7, severityOfLevel[level]) << "level " << level;
    }
  }
}

TEST_F(SyslogCollectors, CollectorThatStallsThenResumesGetsWholeLinesAndEveryDropIsCounted) {
  LoopbackSocket collector(SOCK_STREAM, true, 4096);
  DebugLogger logger;
  Configure(&logger, collector.Entry("/tcp"));
  logger.SetApplicationName(L"app");
  logger.SetAddSyslogHeader(false);
  logger.SetBlockingSyslog(false);
  logger.SetConsoleLogEnabled(true);
  logger.SetSysLogLevel(3);
  constexpr int kRecords = 12000;
  const std::wstring filler(440, L'f');
  for (int i = 0; i < kRecords; ++i) {
    logger.AddRecord(3 - (i % 2), 0, 0, (L"r" + std::to_wstring(i) + L" " + filler).c_str(), nullptr);
  }

  StdoutCapture console;
  ASSERT_TRUE(logger.Start());
  // Accepted, not read: the small buffers fill long before the records run out.
  UniqueSocket connection = collector.Accept(5000);
  ASSERT_TRUE(connection);
  bool drained = false;
  for (int waited = 0; waited < 60000 && !drained; waited += 10) {
    ::Sleep(10);
    drained = logger.Queue().Length() == 0;
  }
  EXPECT_TRUE(drained) << "the logger thread stalled on the collector";
  if (!drained) {
    connection.reset();  // ends the stuck send so the test can end
    collector.Close();
  }

  // The collector reads again, and one more record follows. The line that went out only
  // in part must be finished before it, or the two would be glued together.
  std::string stream;
  char chunk[65536];
  for (int count; connection && LoopbackSocket::Readable(connection.get(), 300) &&
                  (count = ::recv(connection.get(), chunk, sizeof(chunk), 0)) > 0;) {
    stream.append(chunk, static_cast<std::size_t>(count));
  }
  logger.AddRecord(3, 0, 0, (L"tail " + filler).c_str(), nullptr);
  logger.Stop();
  EXPECT_EQ(CrLfLines(console.Finish()).size(), static_cast<std::size_t>(kRecords + 1)) << "the console kept up";
  ASSERT_TRUE(connection);
  stream += ReadToEnd(connection.get());
  EXPECT_FALSE(collector.Accept(0)) << "the connection was given up and made again";

  // Whole lines only, the stream's last one included.
  ASSERT_FALSE(stream.empty());
  EXPECT_EQ(stream.back(), '\n') << "the stream ends in part of a line";
  const std::regex whole(R"(<[45]> app \{0x[0-9A-F]+\} \d{4}: \(#[23]0000\) (r\d+|tail) f{440})");
  std::size_t received = 0;
  std::size_t cut = 0;
  bool tailArrived = false;
  for (std::size_t end; (end = stream.find('\n')) != std::string::npos; stream.erase(0, end + 1)) {
    const std::string line = stream.substr(0, end);
    if (!std::regex_match(line, whole)) {
      ADD_FAILURE() << "not a whole line: " << line.substr(0, 80) << "...";
      ++cut;
    }
    tailArrived |= line.find(") tail ") != std::string::npos;
    ++received;
  }
  EXPECT_EQ(cut, 0u);
  EXPECT_TRUE(tailArrived);
  EXPECT_LT(received, static_cast<std::size_t>(kRecords)) << "a full socket cost lines, not the logger thread";

  // Every line that did not arrive was counted in a drop report.
  const std::wregex dropReport(LR"(EVENT=Syslog_lines_dropped, ERROR=10035, EVENTMSG="(\d+) lines dropped for 127\.0\.0\.1)");
  std::size_t dropped = 0;
  int reports = 0;
  for (const std::wstring& message : Seen()) {
    std::wsmatch match;
    if (!std::regex_search(message, match, dropReport)) continue;
    dropped += std::stoul(match[1]);
    ++reports;
  }
  EXPECT_GE(reports, 1);
  EXPECT_EQ(received + dropped, static_cast<std::size_t>(kRecords + 1));
}

// ---- The collector kinds beyond UDP and TCP ----

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(SyslogServerList, EntriesMarkedRelpOrTlsAreCollectorsOfThatKind) {
  const std::vector<SyslogTarget> targets =
      SyslogOutput::ParseServerList("a:2514/relp,b:6514/TLS,c:20514/relp+tls,d:601/tcp,e:514/relpx,f:514");
  ASSERT_EQ(targets.size(), 6u);
  const std::optional<CollectorKind> kinds[] = {CollectorKind::kRelp, CollectorKind::kTls, CollectorKind::kRelpOverTls,
                                                std::nullopt, std::nullopt, std::nullopt};
  for (std::size_t i = 0; i < targets.size(); ++i) {
    SCOPED_TRACE(targets[i].host);
    EXPECT_EQ(targets[i].collectorKind, kinds[i]);
    EXPECT_FALSE(targets[i].link) << "a link is made at Open";
  }
  // An unknown marker leaves the entry what it was before the kinds: UDP.
  EXPECT_EQ(targets[4].socketType, SOCK_DGRAM);
  EXPECT_EQ(::ntohs(targets[2].address.sin_port), 20514);

  EXPECT_FALSE(SyslogOutput::NamesTlsCollector("a:2514/relp,d:601/tcp,f"));
  EXPECT_TRUE(SyslogOutput::NamesTlsCollector("a:2514/relp,b:6514/tls"));
  EXPECT_TRUE(SyslogOutput::NamesTlsCollector("c:20514/RELP+TLS"));
}

// A TLS collector without a CA to check it by gets nothing: no connect, no byte, one
// [DIAG] with the reason; so does one whose CA file does not load.
TEST_F(SyslogCollectors, ATlsCollectorWithoutCredentialsIsRefusedAndNeverConnected) {
  const struct {
    const char* name;
    const wchar_t* caFile;
    const wchar_t* reason;
  } cases[] = {
      {"no CA file", L"", L": a TLS collector needs a CA file to check it by, and none was given; nothing goes to it"},
      {"a CA file that is not there", L"Z:\\no\\such\\ca.pem", L": the TLS credentials did not load: CA file "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackSocket collector(SOCK_STREAM);
    DebugLogger logger;
    Configure(&logger, collector.Entry("/tls") + "," + collector.Entry("/relp+tls"));
    logger.SetSyslogCaFile(c.caFile);
    logger.AddRecord(2, 0, 0, L"secret", nullptr);
    ASSERT_TRUE(logger.Start());
    ASSERT_TRUE(WaitForRunning(logger));
    EXPECT_TRUE(SawMessages(c.reason, 2));
    EXPECT_FALSE(collector.Accept(500)) << "a refused TLS collector was connected to";
    logger.Stop();
    for (const SyslogTarget& target : logger.Syslog().Targets()) {
      EXPECT_FALSE(target.link);
      EXPECT_EQ(target.delivered, 0u);
      EXPECT_EQ(target.undelivered, 1u) << "the record that went nowhere is counted";
    }
  }
  EXPECT_TRUE(SawMessages(L"EVENT=Syslog_TLS_credentials_failed", 1));
}

// The logger thread waits for its collectors' sockets as well as for its cycle: with a
// cycle that never ends on its own, a RELP collector's connect, its answer to the open and
// the end of its connection are still each handled as they come.
TEST_F(SyslogCollectors, TheLoggerWakesForARelpCollectorsSocketBetweenItsCycles) {
  LoopbackSocket collector(SOCK_STREAM);
  DebugLogger logger;
  Configure(&logger, collector.Entry("/relp"));
  logger.SetCycleMs(-1);
  ASSERT_TRUE(logger.Start());
  ASSERT_TRUE(WaitForRunning(logger));

  UniqueSocket connection = collector.Accept(5000);
  ASSERT_TRUE(connection);
  // The open: "1 open LEN DATA\n", DATA holding line feeds of its own.
  std::string open;
  char chunk[1024];
  for (int count; open.find("commands=syslog") == std::string::npos &&
                  LoopbackSocket::Readable(connection.get(), 5000) &&
                  (count = ::recv(connection.get(), chunk, sizeof(chunk), 0)) > 0;) {
    open.append(chunk, static_cast<std::size_t>(count));
  }
  ASSERT_EQ(open.substr(0, 7), "1 open ") << open;
  const std::string answer =
      "1 rsp 93 200 OK\nrelp_version=0\nrelp_software=librelp,1.11.0,http://librelp.adiscon.com\ncommands=syslog\n";
  ASSERT_EQ(::send(connection.get(), answer.data(), static_cast<int>(answer.size()), 0),
            static_cast<int>(answer.size()));
  EXPECT_TRUE(SawMessages(L"EVENT=Syslog_connected, EVENTMSG=\"Connected to " + Widen(collector.Entry()) + L" (RELP)\"",
                          1));

  connection.reset();
  EXPECT_TRUE(SawMessages(L"EVENTMSG=\"Connection lost to " + Widen(collector.Entry()) + L": ", 1));
  const DWORD stopping = ::GetTickCount();
  logger.Stop();
  EXPECT_LT(::GetTickCount() - stopping, SyslogOutput::kConnectLimitMs) << "the stop waited for the collector";
}

}  // namespace
