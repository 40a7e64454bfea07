// The syslog output: one line per record to each collector of the server list.

#include "logging/syslog_output.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <iterator>
#include <string_view>
#include <utility>

#include "logging/line_breaks.h"
#include "logging/log_levels.h"
#include "logging/logging_calls.h"
#include "net/socket_steps.h"
#include "text/code_page.h"

namespace {

constexpr std::size_t kMaxServerListBytes = 2047;
constexpr int kHostNameBytes = 128;
constexpr int kReportedHostChars = 256;
constexpr int kTimeStampChars = 40;
// Room for the line in any ANSI code page, UTF-8 included (three bytes per UTF-16 unit).
constexpr int kNarrowLineBytes = 3 * SyslogOutput::kLineBufferChars;

// Room for a line formatted from texts of at most a line's length each, before its line
// breaks are escaped and it is cut.
constexpr int kFormattedLineChars = 2048;

// At most a line's worth of a text: no more of it can reach the line.
const wchar_t* LineWorthOf(const wchar_t* text, wchar_t (&copy)[SyslogOutput::kLineBufferChars]) {
  if (text == nullptr) return nullptr;
  const std::size_t length = wcsnlen(text, SyslogOutput::kLineLimit);
  std::wmemcpy(copy, text, length);
  copy[length] = L'\0';
  return copy;
}

// The priority of a record: the facility's code times 8, with the level's severity in the
// low three bits. Levels 0 to 5 are severities 2 to 7; the severity must not spill into
// the facility, so every level above 5 is the lowest severity, debug, and a level below
// -2 the highest, emergency.
int Priority(int facility, int level) {
  constexpr int kDebugSeverity = 7;
  const int severity = level > kLogAlways ? kDebugSeverity : (level + 2 < 0 ? 0 : level + 2);
  return (facility * 8) | severity;
}

// Host text "a.b.c.d" or a name: the address of a dotted form, else the first address
// the name resolves to, asked afresh each time so a collector that moved is found.
bool Resolve(SyslogTarget& target) {
  const unsigned long dotted = ::inet_addr(target.host.c_str());
  if (dotted != INADDR_NONE) {
    target.address.sin_addr.s_addr = dotted;
    return true;
  }
  const hostent* entry = ::gethostbyname(target.host.c_str());
  if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) return false;
  std::memcpy(&target.address.sin_addr, entry->h_addr_list[0], sizeof(target.address.sin_addr));
  return true;
}

SyslogTarget TargetOf(const std::string& entry) {
  SyslogTarget target;
  target.address.sin_family = AF_INET;
  long port = SyslogOutput::kDefaultPort;
  const std::size_t colon = entry.find(':');
  if (colon != std::string::npos) {
    const char* digits = entry.c_str() + colon + 1;
    char* rest = nullptr;
    port = std::strtol(digits, &rest, 10);
    target.collectorKind = CollectorKindOf(rest);
    if (target.collectorKind || ::_stricmp(rest, "/tcp") == 0) {
      target.socketType = SOCK_STREAM;
      target.protocol = IPPROTO_TCP;
    }
  }
  target.address.sin_port = ::htons(static_cast<u_short>(port & 0xFFFF));
  target.host = entry.substr(0, colon);
  return target;
}

// The line in the ANSI code page, as a zero-terminated text; false when the conversion
// fails. A character the page lacks becomes the page's default character ("?"): not a
// lost line, and not a look-alike either (best fit would turn U+0100 into "A", quietly
// changing what was logged). Code pages that take no flags (UTF-8 among them) hold every
// character anyway.
bool ToAnsiCodePage(const wchar_t* line, char* bytes, int capacity) {
  const UINT codePage = GetConversionCodePage();
  if (::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, line, -1, bytes, capacity, nullptr, nullptr) != 0) {
    return true;
  }
  return ::GetLastError() == ERROR_INVALID_FLAGS && WideToNarrowInto(bytes, line, capacity, codePage) != nullptr;
}

// The collector's host as the list names it, in the conversion code page; empty when it
// does not convert.
std::wstring WideHost(const SyslogTarget& target) {
  wchar_t host[kReportedHostChars];
  if (NarrowToWideInto(host, target.host.c_str(), kReportedHostChars, GetConversionCodePage()) == nullptr) return {};
  return host;
}

// The collector as the connection messages name it: "host:port".
std::wstring CollectorName(const SyslogTarget& target) {
  return WideHost(target) + L":" + std::to_wstring(::ntohs(target.address.sin_port));
}

bool AnyTlsCollector(const std::vector<SyslogTarget>& targets) {
  for (const SyslogTarget& target : targets) {
    if (target.collectorKind && UsesTls(*target.collectorKind)) return true;
  }
  return false;
}

// A notice's error for the ERROR field: a socket or system error in decimal, as the other
// connection messages give it; a security status (SEC_E_*, CRYPT_E_*) in hexadecimal.
std::wstring ErrorField(DWORD code) {
  if (code <= 0xFFFF) return std::to_wstring(code);
  wchar_t text[16];
  ::_snwprintf(text, std::size(text) - 1, L"0x%08lX", static_cast<unsigned long>(code));
  text[std::size(text) - 1] = L'\0';
  return text;
}

}  // namespace

bool SyslogOutput::NamesTlsCollector(const std::string& serverList) {
  return AnyTlsCollector(ParseServerList(serverList));
}

std::vector<SyslogTarget> SyslogOutput::ParseServerList(const std::string& serverList) {
  const std::string list = serverList.substr(0, kMaxServerListBytes);
  std::vector<SyslogTarget> targets;
  for (std::size_t start = 0; start < list.size();) {
    const std::size_t comma = list.find(',', start);
    const std::size_t end = comma == std::string::npos ? list.size() : comma;
    SyslogTarget target = TargetOf(list.substr(start, end - start));
    if (!target.host.empty()) targets.push_back(std::move(target));
    start = comma == std::string::npos ? list.size() : comma + 1;
  }
  return targets;
}

void SyslogOutput::Open(const std::string& serverList) {
  if (started_ || serverList.empty()) return;
  targets_.clear();
  socketLibrary_.emplace();
  if (!socketLibrary_->Started()) {
    socketLibrary_.reset();
    return;
  }

  char host[kHostNameBytes] = {};
  wchar_t wideHost[kHostNameBytes] = {};
  if (::gethostname(host, kHostNameBytes - 1) == 0 &&
      NarrowToWideInto(wideHost, host, kHostNameBytes, GetConversionCodePage()) != nullptr) {
    hostName_ = wideHost;
  } else {
    hostName_ = L"LocalHost";
  }
  targets_ = ParseServerList(serverList);
  credentials_.reset();
  credentialsProblem_.clear();
  if (AnyTlsCollector(targets_) && !collectorSettings_.caFile.empty()) {
    credentials_ = TlsClientCredentials::Load(collectorSettings_.caFile, collectorSettings_.clientCertificateFile,
                                              collectorSettings_.clientCertificatePassword, credentialsProblem_);
    if (!credentials_) {
      LogMessage(kLogDebug, L"[DIAG] EVENT=Syslog_TLS_credentials_failed, EVENTMSG=\"TLS credentials: %s\"",
                 credentialsProblem_.c_str());
    }
  }
  for (SyslogTarget& target : targets_) {
    if (target.collectorKind) OpenCollector(target);
  }
  started_ = true;
}

void SyslogOutput::OpenCollector(SyslogTarget& target) {
  const bool tls = UsesTls(*target.collectorKind);
  // Nothing goes to a TLS collector unchecked, nor in clear: without credentials it gets
  // no link at all.
  if (tls && !credentials_) {
    const std::wstring why = collectorSettings_.caFile.empty()
                                 ? L"a TLS collector needs a CA file to check it by, and none was given"
                                 : L"the TLS credentials did not load: " + credentialsProblem_;
    target.lastProblem = L"Refused " + CollectorName(target) + L": " + why + L"; nothing goes to it";
    LogMessage(kLogDebug, L"[DIAG] EVENT=Syslog_refused, ERROR=0, EVENTMSG=\"%s\"", target.lastProblem.c_str());
    return;
  }
  CollectorLinkSettings settings;
  settings.kind = *target.collectorKind;
  settings.serverName = target.host;
  settings.credentials = tls ? credentials_.get() : nullptr;
  settings.connectTimeLimitMs = kConnectLimitMs;
  settings.heldByteLimit = collectorSettings_.heldByteLimit;
  target.link = std::make_unique<CollectorLink>(std::move(settings));
}

void SyslogOutput::ConnectCollector(SyslogTarget& target) {
  if (!target.link) return;
  const DWORD now = ::GetTickCount();
  if (target.link->NeedsConnect(now)) {
    if (Resolve(target)) {
      target.link->Connect(target.address, now);
    } else {
      ReportConnectError(target, ::WSAGetLastError());
    }
  }
  target.link->Service(now);
  ReportCollectorNotices(target);
}

void SyslogOutput::ReportCollectorNotices(SyslogTarget& target) {
  CollectorNotice notice;
  while (target.link->TakeNotice(notice)) {
    const wchar_t* event = L"Syslog_disconnected";
    switch (notice.kind) {
      case CollectorNotice::Kind::kConnected:
        // A name that fails to resolve later is told again.
        target.lastError = 0;
        target.connectErrorsTold.Succeeded();
        LogMessage(kLogDebug, L"[DIAG] EVENT=Syslog_connected, EVENTMSG=\"%s\"", notice.text.c_str());
        continue;
      case CollectorNotice::Kind::kConnectFailed:
      case CollectorNotice::Kind::kLost:
        break;
      case CollectorNotice::Kind::kRefused:
        event = L"Syslog_refused";
        break;
      case CollectorNotice::Kind::kDropping:
        event = L"Syslog_lines_dropped";
        break;
      case CollectorNotice::Kind::kLineRefused:
        event = L"Syslog_line_refused";
        break;
    }
    if (notice.kind != CollectorNotice::Kind::kDropping) target.lastProblem = notice.text;
    LogMessage(kLogDebug, L"[DIAG] EVENT=%s, ERROR=%s, EVENTMSG=\"%s\"", event, ErrorField(notice.code).c_str(),
               notice.text.c_str());
  }
}

std::size_t SyslogOutput::ReadinessEvents(HANDLE* events, std::size_t capacity) const {
  std::size_t count = 0;
  if (!started_) return 0;
  for (const SyslogTarget& target : targets_) {
    if (count == capacity) break;
    if (!target.link) continue;
    if (const HANDLE event = target.link->ReadinessEvent()) events[count++] = event;
  }
  return count;
}

void SyslogOutput::ServiceCollectors() {
  if (!started_) return;
  for (SyslogTarget& target : targets_) {
    if (!target.link) continue;
    target.link->Service(::GetTickCount());
    ReportCollectorNotices(target);
  }
}

void SyslogOutput::CloseCollectors() {
  // One time limit for all of them: the logger thread waits no longer than for one.
  const DWORD start = ::GetTickCount();
  for (SyslogTarget& target : targets_) {
    if (!target.link) continue;
    const DWORD elapsed = ::GetTickCount() - start;
    target.link->Finish(elapsed < kConnectLimitMs ? kConnectLimitMs - elapsed : 0);
    ReportCollectorNotices(target);
    target.delivered += target.link->Delivered();
    target.dropped += target.link->Dropped();
    target.undelivered += target.link->HeldCount();
    if (target.link->HeldCount() > 0) {
      LogMessage(kLogDebug,
                 L"[DIAG] EVENT=Syslog_lines_dropped, ERROR=0, EVENTMSG=\"%I64u lines held for %s were not delivered "
                 L"by the close\"",
                 static_cast<unsigned long long>(target.link->HeldCount()), CollectorName(target).c_str());
    }
    target.link.reset();
  }
  credentials_.reset();
}

void SyslogOutput::ReportConnectError(SyslogTarget& target, int error) {
  target.lastError = error;
  if (!target.connectErrorsTold.IsNew(error)) return;
  const std::wstring host = WideHost(target);
  if (!host.empty()) {
    LogMessage(kLogDebug, L"[DIAG] EVENT=Error_connecting_to_Syslog, ERROR=%d, EVENTMSG=\"Error connecting to %s\"",
               error, host.c_str());
  }
}

void SyslogOutput::Connect(bool blocking) {
  // A closed output has no socket library to connect with; it starts afresh at Open.
  if (!started_) return;
  for (SyslogTarget& target : targets_) {
    if (target.collectorKind) {
      ConnectCollector(target);
      continue;
    }
    if (!target.socket) {
      if (!Resolve(target)) {
        ReportConnectError(target, ::WSAGetLastError());
        continue;
      }
      target.socket.reset(::socket(AF_INET, target.socketType, target.protocol));
      if (!target.socket) {
        ReportConnectError(target, ::WSAGetLastError());
        continue;
      }
    }
    if (target.state == SyslogTarget::kConnected) {
      if (!target.unsent.empty()) SendUnsent(target);
      continue;
    }
    // A change of the setting applies to a connect already under way as well.
    target.blockingSends = blocking;
    if (!target.connecting) StartConnect(target);
    // Blocking, the pass waits for the answer, up to the limit; non-blocking, it only
    // looks, and a later pass or line looks again.
    while (target.connecting) {
      const DWORD waited = ::GetTickCount() - target.connectStartedAt;
      AwaitConnect(target, blocking && waited < kConnectLimitMs ? kConnectLimitMs - waited : 0);
      if (!blocking) break;
    }
  }
}

void SyslogOutput::StartConnect(SyslogTarget& target) {
  // The connect itself never blocks, so that its wait can have a limit.
  u_long nonBlocking = 1;
  ::ioctlsocket(target.socket.get(), FIONBIO, &nonBlocking);
  target.connectStartedAt = ::GetTickCount();
  if (::connect(target.socket.get(), reinterpret_cast<const sockaddr*>(&target.address), sizeof(target.address)) ==
      0) {
    Connected(target);
    return;
  }
  const int error = ::WSAGetLastError();
  if (error != WSAEWOULDBLOCK) {
    ConnectFailed(target, error);
    return;
  }
  target.connecting = true;
}

void SyslogOutput::AwaitConnect(SyslogTarget& target, DWORD waitMs) {
  const ConnectProgress progress = ::AwaitConnect(target.socket.get(), waitMs);
  if (progress.outcome == ConnectProgress::kConnected) {
    Connected(target);
  } else if (progress.outcome == ConnectProgress::kFailed) {
    ConnectFailed(target, progress.error);
  } else if (::GetTickCount() - target.connectStartedAt >= kConnectLimitMs) {
    ConnectFailed(target, WSAETIMEDOUT);
  }
}

void SyslogOutput::Connected(SyslogTarget& target) {
  LogMessage(kLogDebug, L"[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to %s\"",
             DottedAddress(target.address).c_str());
  target.connecting = false;
  target.lastError = 0;
  target.connectErrorsTold.Succeeded();
  target.state = SyslogTarget::kConnected;
  if (target.blockingSends) {
    u_long nonBlocking = 0;
    ::ioctlsocket(target.socket.get(), FIONBIO, &nonBlocking);
  }
}

void SyslogOutput::ConnectFailed(SyslogTarget& target, int error) {
  // Only the first failure after the list was parsed is told; a collector that stays
  // down is retried every cycle in silence.
  if (target.state == SyslogTarget::kNeverConnected) {
    LogMessage(kLogDebug, L"[DIAG] EVENT=Syslog_disconnected, ERROR=%d, EVENTMSG=\"Connect failed to %s\"", error,
               DottedAddress(target.address).c_str());
  }
  target.connecting = false;
  target.lastError = error;
  target.socket.reset();
  target.state = SyslogTarget::kDisconnected;
}

int SyslogOutput::FormatLine(const RecordView& record, wchar_t (&line)[kLineBufferChars]) {
  const int priority = Priority(style_.facility, record.level);
  const unsigned long eventCode = record.EventCode();
  const unsigned thread = static_cast<unsigned>(record.threadId);

  wchar_t message[kLineBufferChars];
  wchar_t userText[kLineBufferChars];
  wchar_t application[kLineBufferChars];
  const wchar_t* messageText = LineWorthOf(record.message, message);
  const wchar_t* user = LineWorthOf(record.userText, userText);
  const wchar_t* app = LineWorthOf(style_.application.c_str(), application);

  // The optional parts: the time stamp and host name, and the user text in braces.
  wchar_t header[kTimeStampChars + kReportedHostChars + 2] = {};
  if (style_.header) {
    std::tm brokenDown{};
    brokenDown.tm_year = record.time.wYear - 1900;
    brokenDown.tm_mon = record.time.wMonth - 1;
    brokenDown.tm_mday = record.time.wDay;
    brokenDown.tm_hour = record.time.wHour;
    brokenDown.tm_min = record.time.wMinute;
    brokenDown.tm_sec = record.time.wSecond;
    wchar_t stamp[kTimeStampChars] = {};
    std::wcsftime(stamp, kTimeStampChars, L"%b %d %H:%M:%S", &brokenDown);
    ::_snwprintf(header, std::size(header) - 1, L"%s %s", stamp, hostName_.c_str());
  }
  wchar_t userPiece[kLineBufferChars + 4] = {};
  if (user != nullptr) ::_snwprintf(userPiece, std::size(userPiece) - 1, L"{%s} ", user);

  // The texts go in with their line breaks; escaping the whole line afterwards lets the
  // cut see every escape whole.
  wchar_t formatted[kFormattedLineChars] = {};
  ::_snwprintf(formatted, kFormattedLineChars - 1, L"<%d>%s %s {0x%X} %04d: (#%05lu) %s%s", priority, header, app,
               thread, sequenceNumber_, eventCode, userPiece, messageText);
  formatted[kFormattedLineChars - 1] = L'\0';

  std::wmemset(line, L'\0', kLineBufferChars);
  const std::size_t length = CopyEscapingLineBreaks(formatted, std::wcslen(formatted), line, kLineLimit);
  line[length] = L'\n';

  if (++sequenceNumber_ > kSequenceLimit) sequenceNumber_ = 0;
  return static_cast<int>(length) + 1;
}

void SyslogOutput::Write(const RecordView& record) {
  wchar_t line[kLineBufferChars];
  FormatLine(record, line);

  char bytes[kNarrowLineBytes];
  bool converted = false;
  int byteCount = 0;
  // The line in the ANSI code page once, for the first target that takes it.
  const auto convert = [&] {
    if (!converted) {
      if (!ToAnsiCodePage(line, bytes, kNarrowLineBytes)) return false;
      byteCount = static_cast<int>(std::strlen(bytes));
      converted = true;
    }
    return true;
  };
  for (SyslogTarget& target : targets_) {
    if (target.collectorKind) {
      if (!target.link) {
        ++target.undelivered;
        continue;
      }
      if (!convert()) return;
      // The same line, without its line feed: these kinds frame each line themselves.
      const std::size_t length = byteCount > 0 && bytes[byteCount - 1] == '\n' ? byteCount - 1 : byteCount;
      target.link->Write(std::string_view(bytes, length), ::GetTickCount());
      ReportCollectorNotices(target);
      continue;
    }
    // A connect that the pass did not wait for may have finished since.
    if (target.connecting && target.connectLookedAt != ::GetTickCount()) {
      target.connectLookedAt = ::GetTickCount();
      AwaitConnect(target, 0);
    }
    if (!target.socket || target.state <= SyslogTarget::kDisconnected) continue;
    if (!convert()) return;
    SendLine(target, bytes, byteCount);
  }
}

void SyslogOutput::SendLine(SyslogTarget& target, const char* bytes, int length) {
  if (!target.unsent.empty()) {
    if (!SendUnsent(target)) return;
    if (!target.unsent.empty()) {
      ++target.droppedLines;
      return;
    }
  }
  int error = 0;
  const std::size_t total = static_cast<std::size_t>(length);
  const std::size_t sent = SendWhatFits(target.socket.get(), bytes, total, error);
  if (error != 0) {
    target.lastError = error;
    Disconnect(target, error);
    return;
  }
  if (sent < total) {
    target.lastError = WSAEWOULDBLOCK;
    // A full non-blocking socket: a line not begun is dropped whole; the rest of one
    // begun goes first when the socket takes bytes again.
    if (sent == 0) {
      ++target.droppedLines;
      return;
    }
    target.unsent.assign(bytes + sent, total - sent);
  }
  if (target.droppedLines > 0) ReportDroppedLines(target);
}

bool SyslogOutput::SendUnsent(SyslogTarget& target) {
  int error = 0;
  const std::size_t sent = SendWhatFits(target.socket.get(), target.unsent.data(), target.unsent.size(), error);
  if (error != 0) {
    target.lastError = error;
    Disconnect(target, error);
    return false;
  }
  if (sent < target.unsent.size()) target.lastError = WSAEWOULDBLOCK;
  target.unsent.erase(0, sent);
  return true;
}

void SyslogOutput::ReportDroppedLines(SyslogTarget& target) {
  LogMessage(kLogDebug,
             L"[DIAG] EVENT=Syslog_lines_dropped, ERROR=%d, EVENTMSG=\"%lu lines dropped for %s: the collector did "
             L"not keep up\"",
             WSAEWOULDBLOCK, target.droppedLines, DottedAddress(target.address).c_str());
  target.droppedLines = 0;
}

void SyslogOutput::Disconnect(SyslogTarget& target, int error) {
  if (target.droppedLines > 0) ReportDroppedLines(target);
  LogMessage(kLogDebug, L"[DIAG] EVENT=Syslog_disconnected, ERROR=%d, EVENTMSG=\"Connection lost to %s\"", error,
             DottedAddress(target.address).c_str());
  target.unsent.clear();
  target.socket.reset();
  target.state = SyslogTarget::kDisconnected;
}

void SyslogOutput::Close() {
  if (!started_) return;
  for (SyslogTarget& target : targets_) {
    if (!target.socket) continue;
    // Closed with half a line out, the stream would end in it and the collector would
    // store it as a record: the rest gets the time limit to go.
    for (const DWORD start = ::GetTickCount();
         !target.unsent.empty() && target.socket && ::GetTickCount() - start < kConnectLimitMs;) {
      if (!SendUnsent(target) || target.unsent.empty()) break;
      fd_set writable;
      FD_ZERO(&writable);
      FD_SET(target.socket.get(), &writable);
      timeval wait{0, 50 * 1000};
      ::select(0, nullptr, &writable, nullptr, &wait);
    }
    if (target.droppedLines > 0) ReportDroppedLines(target);
    target.unsent.clear();
    target.connecting = false;
    target.socket.reset();
    target.lastError = 0;
    target.state = SyslogTarget::kDisconnected;
  }
  CloseCollectors();
  socketLibrary_.reset();
  started_ = false;
}
