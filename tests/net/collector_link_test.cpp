// A collector that never finishes what it started must not hold up the thread that serves
// it: a connect that never completes, a TLS server that never answers the hello, a RELP
// collector that never answers the open. Each link gives up with a notice once its time
// limit has passed, and no single call waits. The collectors here are the test's own
// listening sockets on loopback, which the system's TCP accepts for and which never read
// a byte; the collectors that do answer (rsyslog) are in collector_test.sh.

#include "net/collector_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/scratch_folder.h"
#include "support/test_anchor_certificate.h"
#include "win32/unique_socket.h"

namespace {


constexpr DWORD kTimeLimitMs = 300;

// A listening socket on loopback that never accepts. With room in its queue the system
// completes connects to it; with its queue full (listen(0) and one connection waiting) it
// drops further connection requests, so a connect never completes.
class SilentCollector {
 public:
  explicit SilentCollector(bool queueFull) {
    listener_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = ::inet_addr("127.0.0.1");
    int length = sizeof(address_);
    ok_ = listener_ && ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address_), sizeof(address_)) == 0 &&
          ::listen(listener_.get(), queueFull ? 0 : 8) == 0 &&
          ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address_), &length) == 0;
    if (ok_ && queueFull) {
      filler_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
      ok_ = filler_ && ::connect(filler_.get(), reinterpret_cast<sockaddr*>(&address_), sizeof(address_)) == 0;
    }
  }
  bool ok() const { return ok_; }
  const sockaddr_in& address() const { return address_; }

 private:
  UniqueSocket listener_;
  UniqueSocket filler_;
  sockaddr_in address_{};
  bool ok_ = false;
};

TEST(CollectorLinkTimeLimit, ACollectorThatNeverAnswersIsGivenUpWithoutWaiting) {
  const SocketLibrary sockets;
  ASSERT_TRUE(sockets.Started());
  ScratchFolder folder(L"collector-link-");
  const std::wstring caFile = folder / L"anchor.pem";
  {
    UniqueFileHandle file(::CreateFileW(caFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), kTestAnchorPem, sizeof(kTestAnchorPem) - 1, &written, nullptr));
  }
  std::wstring error;
  const std::unique_ptr<TlsClientCredentials> credentials = TlsClientCredentials::Load(caFile, L"", L"", error);
  ASSERT_TRUE(credentials) << std::string(error.begin(), error.end());

  const struct {
    const char* name;
    CollectorKind kind;
    bool queueFull;
    std::wstring reason;
  } cases[] = {
      {"connect never completes", CollectorKind::kRelp, true, L"no connection within 300 ms"},
      {"connect never completes, TLS", CollectorKind::kTls, true, L"no connection within 300 ms"},
      {"no answer to the TLS hello", CollectorKind::kTls, false, L"no TLS handshake within 300 ms"},
      {"no answer to the RELP open", CollectorKind::kRelp, false, L"no answer to the RELP open within 300 ms"},
      {"no answer to the hello, RELP over TLS", CollectorKind::kRelpOverTls, false, L"no TLS handshake within 300 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SilentCollector collector(c.queueFull);
    ASSERT_TRUE(collector.ok());
    CollectorLinkSettings settings;
    settings.kind = c.kind;
    settings.serverName = "127.0.0.1";
    settings.credentials = credentials.get();
    settings.connectTimeLimitMs = kTimeLimitMs;
    CollectorLink link(settings);

    const DWORD start = ::GetTickCount();
    DWORD longestCall = 0;
    const auto timed = [&](auto call) {
      const DWORD before = ::GetTickCount();
      call();
      longestCall = std::max<DWORD>(longestCall, ::GetTickCount() - before);
    };
    timed([&] { link.Connect(collector.address(), start); });
    for (int line = 0; line < 100; ++line) timed([&] { link.Write("<14> waiting line", ::GetTickCount()); });
    CollectorNotice notice{};
    bool told = false;
    while (!told && ::GetTickCount() - start < 10 * kTimeLimitMs) {
      ::Sleep(10);
      timed([&] { link.Service(::GetTickCount()); });
      told = link.TakeNotice(notice);
    }
    const DWORD elapsed = ::GetTickCount() - start;
    ASSERT_TRUE(told);
    EXPECT_EQ(notice.kind, CollectorNotice::Kind::kConnectFailed);
    EXPECT_NE(notice.text.find(c.reason), std::wstring::npos) << std::string(notice.text.begin(), notice.text.end());
    EXPECT_GE(elapsed, kTimeLimitMs);
    EXPECT_LT(elapsed, kTimeLimitMs + 1500);
    // A call that waited for the collector would take the whole limit, or for ever; the
    // bound leaves room for a machine busy with other work.
    EXPECT_LT(longestCall, kTimeLimitMs / 2);
    // The lines wait for the next connection instead of being lost with this one.
    EXPECT_EQ(link.HeldCount(), 100u);
    EXPECT_FALSE(link.Ready());
    EXPECT_TRUE(link.NeedsConnect(::GetTickCount()));
  }
}

}  // namespace
