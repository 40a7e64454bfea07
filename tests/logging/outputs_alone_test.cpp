// Each output built on its own, with its settings and a record view and no logger around
// it, and what it wrote read back from where it wrote it.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "logging/console_output.h"
#include "logging/debug_file_output.h"
#include "logging/event_log_output.h"
#include "logging/syslog_output.h"
#include "registry/registry.h"
#include "support/scratch_folder.h"
#include "support/stdout_capture.h"
#include "win32/unique_resource.h"
#include "win32/unique_socket.h"

namespace {

constexpr SYSTEMTIME kTenthOfMarch{2024, 3, 0, 10, 14, 5, 9, 7};
void WINAPI TestLocalTime(SYSTEMTIME* now) { *now = kTenthOfMarch; }

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%lX", static_cast<unsigned long>(value));
  return text;
}

TEST(OutputAlone, TheDebugFileWritesItsHeadAndRecordsAndTellsItsFailures) {
  ScratchFolder folder(L"valone-");
  std::vector<std::wstring> problems;
  int reopened = 0;
  DebugFileOutput file({[](DebugFileOutput& out) { return out.WriteHeadLine(3, L"the head"); },
                        [&](const std::wstring& text) { problems.push_back(text); }, [&] { ++reopened; }});
  DebugFileOutput::Settings settings;
  settings.path = folder / L"alone.txt";
  settings.maxFileSize = 0;
  settings.encoding = DebugFileOutput::kUtf8;
  file.SetSettings(settings);
  file.SetClocks({&TestLocalTime, &::GetTickCount});
  ASSERT_TRUE(file.Open());
  EXPECT_TRUE(file.Write(RecordView{kTenthOfMarch, 0x1A4, 2, L"h\u00e9llo", 0, L"user"}));
  EXPECT_TRUE(file.Reopen());
  file.Close();
  const std::string head = "[30000] (03/10 14:05:09.007):{0x" + Hex(::GetCurrentThreadId()) + "} the head\r\n";
  EXPECT_EQ(ReadFileBytes(settings.path), "\xEF\xBB\xBFUTF-8 encoded\r\n" + head +
                                              "[20000] (03/10 14:05:09.007):{0x1A4} {user} h\xC3\xA9llo\r\n" + head);
  EXPECT_EQ(reopened, 1);
  EXPECT_EQ(problems, std::vector<std::wstring>{});

  // The file's folder would have to be where a file is.
  ASSERT_TRUE(WriteFileBytes(folder / L"blocker", "x"));
  settings.path = folder / L"blocker\\alone.txt";
  file.SetSettings(settings);
  EXPECT_FALSE(file.Open());
  EXPECT_FALSE(file.Write(RecordView{kTenthOfMarch, 0x1A4, 2, L"lost", 0, nullptr}));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].rfind(L"[DIAG] Could not create debug trace file " + settings.path + L" : ", 0), 0u);
  EXPECT_EQ(file.LostLines(), 1u);
}

// The console writes the lines it holds together (several writes here: more lines than
// one batch takes), each line whole and in order.
TEST(OutputAlone, TheConsoleWritesItsLinesTogetherWholeAndInOrder) {
  constexpr int kRecords = 3000;
  ConsoleOutput console(STD_OUTPUT_HANDLE);
  StdoutCapture captured;
  std::string expected;
  for (int i = 0; i < kRecords; ++i) {
    const std::wstring message = L"record " + std::to_wstring(i) + L"\nof the console";
    console.Write(RecordView{kTenthOfMarch, 0x1A4, 1, message.c_str(), 0x6FFF7531, nullptr});
    expected += "[30001] (14:05:09.007):{0x01A4} record " + std::to_string(i) + "#012of the console\r\n";
  }
  console.Flush();
  EXPECT_EQ(captured.Finish(), expected);
  EXPECT_EQ(console.FailedLines(), 0u);
}

// A write the system refuses costs every line it held, and each is counted.
TEST(OutputAlone, TheConsoleCountsEveryLineOfAFailedWrite) {
  constexpr int kRecords = 3000;
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  ASSERT_TRUE(::CreatePipe(&read, &write, nullptr, 0));
  UniqueHandle pipeWrite(write);
  { UniqueHandle reader(read); }  // gone before the first write
  UniqueFileHandle full(::CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  const struct {
    const char* name;
    HANDLE handle;
  } cases[] = {{"a pipe whose reader has gone", pipeWrite.get()}, {"a full device", full.get()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.handle) {
      std::printf("skipped \"%s\": none here\n", c.name);
      continue;
    }
    ConsoleOutput console(STD_ERROR_HANDLE);
    const HANDLE previous = ::GetStdHandle(STD_ERROR_HANDLE);
    ASSERT_TRUE(::SetStdHandle(STD_ERROR_HANDLE, c.handle));
    for (int i = 0; i < kRecords; ++i) {
      console.Write(RecordView{kTenthOfMarch, 0x1A4, 1, L"refused", 0, nullptr});
    }
    console.Flush();
    ::SetStdHandle(STD_ERROR_HANDLE, previous);
    EXPECT_EQ(console.FailedLines(), static_cast<std::uint64_t>(kRecords));
    EXPECT_NE(console.LastError(), static_cast<DWORD>(ERROR_SUCCESS));
  }
}

TEST(OutputAlone, SyslogSendsTheRecordsLineToItsCollector) {
  SocketLibrary sockets;
  UniqueSocket collector(::socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_TRUE(collector);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
  ASSERT_EQ(::bind(collector.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  int length = sizeof(address);
  ASSERT_EQ(::getsockname(collector.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);

  SyslogOutput syslog;
  syslog.Open("127.0.0.1:" + std::to_string(::ntohs(address.sin_port)));
  syslog.SetLineStyle({false, 1, L"alone"});
  syslog.Connect(true);
  syslog.Write(RecordView{kTenthOfMarch, 0x1A4, 3, L"to syslog", 0, L"user"});
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(collector.get(), &readable);
  timeval wait{5, 0};
  ASSERT_EQ(::select(0, &readable, nullptr, nullptr, &wait), 1);
  char datagram[1024];
  const int got = ::recv(collector.get(), datagram, sizeof(datagram), 0);
  ASSERT_GT(got, 0);
  EXPECT_EQ(std::string(datagram, static_cast<std::size_t>(got)), "<13> alone {0x1A4} 0000: (#30000) {user} to syslog\n");
  syslog.Close();
}

// The event itself goes to the system's log, which Wine does not keep (the event-log
// system test reads Wine's report of it); the source's registration is read back here.
TEST(OutputAlone, TheEventLogRegistersItsSourceWithTheMessageFile) {
  const std::wstring source = L"VarrowmereOutputAlone" + std::to_wstring(::GetCurrentProcessId());
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
  EventLogOutput events;
  events.Open(source, L"");
  ASSERT_TRUE(events.IsOpen());
  events.Write(RecordView{kTenthOfMarch, 0x1A4, 1, L"to the event log", 0, nullptr});
  EXPECT_NE(events.Close(), 0);
  EXPECT_FALSE(events.IsOpen());

  wchar_t program[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, program, MAX_PATH - 1);
  Registry registration(HKEY_LOCAL_MACHINE, "", false);
  ASSERT_TRUE(registration.Open(key.c_str(), false));
  wchar_t messageFile[MAX_PATH] = {};
  EXPECT_TRUE(registration.ReadString(L"EventMessageFile", messageFile, MAX_PATH));
  EXPECT_STREQ(messageFile, program);
  registration.Close();
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

}  // namespace
