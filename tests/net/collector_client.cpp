// Drives one CollectorLink the way the logger thread will: a connect when the link asks
// for one, a service step per cycle, lines written as they come. It sends --count
// numbered lines to a collector and tells what became of them, for collector_test.sh,
// which runs the collector (rsyslog) and reads back what it stored.
//
//   collector_client --kind tls|relp|relp+tls --port N [--address A] [--server-name NAME]
//                    [--ca FILE] [--cert PFX] [--count N] [--per-cycle N] [--prefix TEXT]
//                    [--cycle MS] [--time-limit MS] [--give-up-after MS]
//
// Output: one "notice: <kind>: <text>" line per notice, then
// "result: delivered=N dropped=N held=N refused=N seconds=S". The exit status is 0 when
// every line was delivered, 2 for bad arguments or credentials that do not load, else 1.

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/collector_link.h"
#include "win32/unique_socket.h"

namespace {

struct Options {
  std::string kind;
  std::string address = "127.0.0.1";
  std::string serverName;
  unsigned port = 0;
  std::wstring caFile;
  std::wstring certFile;
  unsigned long count = 10;
  unsigned long perCycle = 10000;
  DWORD cycleMs = 200;
  std::string prefix = "line";
  DWORD timeLimitMs = CollectorLinkSettings::kDefaultConnectTimeLimitMs;
  DWORD giveUpAfterMs = 60000;
};

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (; *text != '\0'; ++text) wide += static_cast<unsigned char>(*text);
  return wide;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--kind") {
      options.kind = value;
    } else if (name == "--address") {
      options.address = value;
    } else if (name == "--server-name") {
      options.serverName = value;
    } else if (name == "--port") {
      options.port = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    } else if (name == "--ca") {
      options.caFile = Widen(value);
    } else if (name == "--cert") {
      options.certFile = Widen(value);
    } else if (name == "--count") {
      options.count = std::strtoul(value, nullptr, 10);
    } else if (name == "--per-cycle") {
      options.perCycle = std::strtoul(value, nullptr, 10);
    } else if (name == "--prefix") {
      options.prefix = value;
    } else if (name == "--cycle") {
      options.cycleMs = std::strtoul(value, nullptr, 10);
    } else if (name == "--time-limit") {
      options.timeLimitMs = std::strtoul(value, nullptr, 10);
    } else if (name == "--give-up-after") {
      options.giveUpAfterMs = std::strtoul(value, nullptr, 10);
    } else {
      return false;
    }
  }
  if (options.serverName.empty()) options.serverName = options.address;
  return (argc % 2) == 1 && options.port != 0 && CollectorKindOf("/" + options.kind).has_value();
}

const char* NoticeName(CollectorNotice::Kind kind) {
  switch (kind) {
    case CollectorNotice::Kind::kConnected:
      return "connected";
    case CollectorNotice::Kind::kConnectFailed:
      return "connect-failed";
    case CollectorNotice::Kind::kRefused:
      return "refused";
    case CollectorNotice::Kind::kLost:
      return "lost";
    case CollectorNotice::Kind::kDropping:
      return "dropping";
    case CollectorNotice::Kind::kLineRefused:
      return "line-refused";
  }
  return "?";
}

// The notices as the logger will log them; a refusal ends the run (the test asks for a
// refused collector to get nothing, not for retries).
bool PrintNotices(CollectorLink& link) {
  bool refused = false;
  CollectorNotice notice;
  while (link.TakeNotice(notice)) {
    std::printf("notice: %s: %ls\n", NoticeName(notice.kind), notice.text.c_str());
    refused = refused || notice.kind == CollectorNotice::Kind::kRefused;
  }
  std::fflush(stdout);
  return !refused;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: collector_client --kind tls|relp|relp+tls --port N [options]\n");
    return 2;
  }
  const SocketLibrary sockets;
  if (!sockets.Started()) return 2;

  std::unique_ptr<TlsClientCredentials> credentials;
  if (!options.caFile.empty()) {
    std::wstring error;
    credentials = TlsClientCredentials::Load(options.caFile, options.certFile, L"", error);
    if (!credentials) {
      std::printf("credentials: %ls\n", error.c_str());
      return 2;
    }
  }

  CollectorLinkSettings settings;
  settings.kind = *CollectorKindOf("/" + options.kind);
  settings.serverName = options.serverName;
  settings.credentials = credentials.get();
  settings.connectTimeLimitMs = options.timeLimitMs;
  CollectorLink link(settings);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(static_cast<u_short>(options.port));
  address.sin_addr.s_addr = ::inet_addr(options.address.c_str());

  const DWORD start = ::GetTickCount();
  unsigned long written = 0;
  bool refused = false;
  char line[512];
  const auto done = [&] { return written == options.count && link.HeldCount() == 0; };
  while (!refused && !done() && ::GetTickCount() - start < options.giveUpAfterMs) {
    // One cycle as the logger runs it: connect, a run of lines, then a wait that wakes
    // for the collector's socket until the cycle is over.
    const DWORD cycleStart = ::GetTickCount();
    if (link.NeedsConnect(cycleStart)) link.Connect(address, cycleStart);
    link.Service(cycleStart);
    for (unsigned long i = 0; i < options.perCycle && written < options.count; ++i) {
      ++written;
      std::snprintf(line, sizeof(line), "<14> collector-client: %s %07lu", options.prefix.c_str(), written);
      link.Write(line, ::GetTickCount());
    }
    link.Service(::GetTickCount());
    refused = !PrintNotices(link);
    for (DWORD elapsed = 0; !refused && !done() && (elapsed = ::GetTickCount() - cycleStart) < options.cycleMs;) {
      const HANDLE readiness = link.ReadinessEvent();
      if (readiness == nullptr) {
        ::Sleep(options.cycleMs - elapsed);
        break;
      }
      if (::WaitForSingleObject(readiness, options.cycleMs - elapsed) == WAIT_OBJECT_0) link.Service(::GetTickCount());
      refused = !PrintNotices(link);
    }
  }
  link.Finish(options.timeLimitMs);
  PrintNotices(link);
  const DWORD elapsed = ::GetTickCount() - start;
  std::printf("result: delivered=%llu dropped=%llu held=%zu refused=%llu seconds=%.2f\n",
              static_cast<unsigned long long>(link.Delivered()), static_cast<unsigned long long>(link.Dropped()),
              link.HeldCount(), static_cast<unsigned long long>(link.Session().Refused()), elapsed / 1000.0);
  return link.Delivered() == options.count ? 0 : 1;
}
