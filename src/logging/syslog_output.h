#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/once_per_run.h"
#include "logging/record_view.h"
#include "net/collector_link.h"
#include "win32/unique_socket.h"

// One collector of the server list, as parsed and as last connected.
struct SyslogTarget {
  enum State : int { kNeverConnected = -1, kDisconnected = 0, kConnected = 1 };

  int lastError = 0;  // socket error of the last failure, 0 after a connect
  // Errors of resolving and connecting, told once per run of the same error so a
  // collector whose name does not resolve does not fill the log every cycle.
  OncePerRun connectErrorsTold;
  int state = kNeverConnected;
  UniqueSocket socket;
  int socketType = SOCK_DGRAM;
  int protocol = 0;
  sockaddr_in address{};  // family and port from the list; the address is resolved at each connect
  std::string host;       // as written in the list, up to its colon

  // A connect under way on a non-blocking socket, and the tick it began at: the time
  // limit runs from there, across logger cycles when the logger does not wait for it.
  bool connecting = false;
  DWORD connectStartedAt = 0;
  // When a line last looked at the connect: at most once per tick, so a flood of lines
  // pays next to nothing while a collector does not answer.
  DWORD connectLookedAt = 0;
  // Whether the socket is made blocking again once connected, so that sends wait for the
  // collector.
  bool blockingSends = true;
  // What a non-blocking stream did not take of a line: it goes before any other byte,
  // so the collector never sees half a line run on into the next one.
  std::string unsent;
  // Lines dropped in a row because the collector did not keep up; told once, when the
  // run ends.
  unsigned long droppedLines = 0;

  // An entry marked "/tls", "/relp" or "/relp+tls": a collector of that kind, which a
  // CollectorLink drives instead of the socket above (none of the fields above but host
  // and address apply to it). The link exists from Open on; a TLS kind without
  // credentials gets none, and nothing goes to it.
  std::optional<CollectorKind> collectorKind;
  std::unique_ptr<CollectorLink> link;
  // What became of its lines, added up at each close: delivered (taken by the connection
  // for "/tls", acknowledged for RELP), dropped at the held-bytes bound, and given up
  // (still held at the close, or never held: a TLS kind without credentials).
  std::uint64_t delivered = 0;
  std::uint64_t dropped = 0;
  std::uint64_t undelivered = 0;
  // The last failure it told (connect failed, refused, lost), for an owner's report.
  std::wstring lastProblem;
};

// What the collectors beyond UDP and TCP need: for the TLS kinds the one CA their
// certificates must lead to (PEM or DER) and a client certificate for those that ask for
// one (PFX, with its password); for every kind the bound on the lines held for it.
struct SyslogCollectorSettings {
  std::wstring caFile;
  std::wstring clientCertificateFile;
  std::wstring clientCertificatePassword;
  std::size_t heldByteLimit = CollectorLinkSettings::kDefaultHeldByteLimit;
};

// How the output lays out its lines: the logger's settings, handed over when they change.
struct SyslogLineStyle {
  bool header = true;  // time stamp and host name after the priority
  int facility = 0;
  std::wstring application;
};

// The syslog output: one ANSI-code-page line per record to every collector of a
// comma-separated list, over UDP, or TCP for entries marked "/tcp"; entries marked
// "/relp", "/tls" or "/relp+tls" are collectors of those kinds (see CollectorLink), which
// get the same line without its line feed, held until they took or acknowledged it.
//
// A collector receives whole lines only. A blocking connection waits for the collector
// at every send; a non-blocking one keeps the unsent rest of a line and sends it before
// the next line, and drops whole lines (counted, one report per run of drops) while the
// collector does not keep up.
//
// A TCP connect waits at most kConnectLimitMs: blocking, the logger thread waits for it
// (so a collector that never answers costs every output that long per connect pass);
// non-blocking, the connect goes on in the background, across cycles, and no output
// waits for it.
//
// A collector of the kinds beyond TCP never holds the logger thread up: its connect, TLS
// handshake, RELP open and acknowledgements advance at each Connect pass, each line and
// each ServiceCollectors (which the logger calls when a collector's socket has something,
// see ReadinessEvents), and none of them waits; only Close gives them the time limit, all
// together, to deliver what they hold. What they have to tell (connected, refused, lost,
// dropping) is reported as the other connection messages are.
//
// Threading: every operation runs on the logger thread (or on the owner while that thread
// does not run); the targets, the sequence number and the host name need no lock.
// Connection trouble is reported through the logging calls at level 4, so it reaches the
// outputs through the queue like any other record.
class SyslogOutput {
 public:
  // The text of a line is cut at this many characters before its line feed.
  static constexpr int kLineLimit = 509;
  static constexpr int kLineBufferChars = 512;
  static constexpr int kSequenceLimit = 9999;
  static constexpr u_short kDefaultPort = 514;
  // The longest a connect may take. A collector whose accept queue is full, or a firewall
  // that drops the request, would otherwise leave it to the system's retries (minutes).
  static constexpr DWORD kConnectLimitMs = 3000;

  SyslogOutput() = default;
  ~SyslogOutput() { Close(); }
  SyslogOutput(const SyslogOutput&) = delete;
  SyslogOutput& operator=(const SyslogOutput&) = delete;

  // The targets of a server list, in list order, none of them connected. An entry
  // without a host (empty, or only a port) makes no target: resolving an empty name
  // would give this machine's own address.
  static std::vector<SyslogTarget> ParseServerList(const std::string& serverList);

  // Whether the list names a collector of a TLS kind ("/tls", "/relp+tls"): one that
  // needs a CA file.
  static bool NamesTlsCollector(const std::string& serverList);

  // For the collectors of the kinds beyond TCP, from the next Open on.
  void SetCollectorSettings(const SyslogCollectorSettings& settings) { collectorSettings_ = settings; }
  // Starts the socket library, learns the host name and parses the list afresh; with a
  // collector of a TLS kind, loads the credentials (a failure is reported, and those
  // collectors get nothing). Does nothing while started or for an empty list.
  void Open(const std::string& serverList);
  // One connect pass: every target without a working connection is resolved anew and
  // connected, within the time limit. With blocking false, the pass does not wait for a
  // connect to finish, and connected sockets are non-blocking. A connected stream with
  // an unsent rest of a line is offered that rest again.
  void Connect(bool blocking);
  // How the lines from now on are laid out.
  void SetLineStyle(const SyslogLineStyle& style) { style_ = style; }
  // Builds the record's line and sends it to every connected target.
  void Write(const RecordView& record);
  // Closes every socket (the targets stay listed) and stops the socket library. An unsent
  // rest of a line is given up to the time limit to go first; the collectors of the kinds
  // beyond TCP share one such time limit to deliver what they hold (lines still held then
  // are lost).
  void Close();

  // The events that are set while a collector of the kinds beyond TCP has something for
  // ServiceCollectors (its connect completed, bytes arrived, its socket takes bytes again):
  // up to `capacity` of them into `events`; answers how many.
  std::size_t ReadinessEvents(HANDLE* events, std::size_t capacity) const;
  // Moves each such collector on without waiting, and reports what it has to tell.
  void ServiceCollectors();

  // Formats the record's line into `line`, line feed included, and advances the sequence
  // number. Answers the line's length. A line cut to kLineLimit ends before an escaped
  // line break that does not fit whole.
  int FormatLine(const RecordView& record, wchar_t (&line)[kLineBufferChars]);

  bool Started() const noexcept { return started_; }
  // The targets as listed, with what became of the lines of the kinds beyond TCP (their
  // totals are complete after Close).
  const std::vector<SyslogTarget>& Targets() const noexcept { return targets_; }

 private:
  void ReportConnectError(SyslogTarget& target, int error);
  void StartConnect(SyslogTarget& target);
  // Looks at a connect under way, waiting up to waitMs for its answer; ends it as failed
  // once the time limit has passed.
  void AwaitConnect(SyslogTarget& target, DWORD waitMs);
  void Connected(SyslogTarget& target);
  void ConnectFailed(SyslogTarget& target, int error);
  void SendLine(SyslogTarget& target, const char* bytes, int length);
  // Sends what the socket takes now of the unsent rest; false when the connection was
  // lost on the way.
  bool SendUnsent(SyslogTarget& target);
  void ReportDroppedLines(SyslogTarget& target);
  void Disconnect(SyslogTarget& target, int error);
  // The collectors of the kinds beyond TCP.
  void OpenCollector(SyslogTarget& target);
  void ConnectCollector(SyslogTarget& target);
  void ReportCollectorNotices(SyslogTarget& target);
  void CloseCollectors();

  std::optional<SocketLibrary> socketLibrary_;
  // Shared by the TLS collectors' links, loaded at Open; declared before the targets, so
  // the links go first.
  std::unique_ptr<TlsClientCredentials> credentials_;
  std::wstring credentialsProblem_;  // why they did not load, for the refusals
  std::vector<SyslogTarget> targets_;
  bool started_ = false;
  std::wstring hostName_;
  int sequenceNumber_ = 0;
  SyslogLineStyle style_;
  SyslogCollectorSettings collectorSettings_;
};
