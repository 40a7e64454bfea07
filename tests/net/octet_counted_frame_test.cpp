// RFC 5425's frames, byte for byte: the length counts bytes, not characters, and the
// message goes as it is (a line feed inside it is no end).

#include "net/octet_counted_frame.h"

#include <gtest/gtest.h>

#include <string>

#include "net/collector_link.h"

namespace {

TEST(OctetCountedFrame, LengthInBytesThenASpaceThenTheMessage) {
  const struct {
    std::string message;
    std::string frame;
  } cases[] = {
      {"<14> hello", "10 <14> hello"},
      {"", "0 "},
      {"caf\xc3\xa9", "5 caf\xc3\xa9"},
      {"two\nlines", "9 two\nlines"},
      {std::string(1000, 'x'), "1000 " + std::string(1000, 'x')},
  };
  std::string wire = "before|";
  std::string expected = wire;
  for (const auto& c : cases) {
    AppendOctetCountedFrame(wire, c.message);
    expected += c.frame;
  }
  EXPECT_EQ(wire, expected);
}

TEST(CollectorKind, TheMarkersAfterThePort) {
  const struct {
    const char* marker;
    std::optional<CollectorKind> kind;
  } cases[] = {
      {"/tls", CollectorKind::kTls},
      {"/TLS", CollectorKind::kTls},
      {"/relp", CollectorKind::kRelp},
      {"/Relp+TLS", CollectorKind::kRelpOverTls},
      {"/tcp", std::nullopt},  // the plain kinds are not these
      {"", std::nullopt},
      {"/relp ", std::nullopt},
      {"relp", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.marker);
    EXPECT_EQ(CollectorKindOf(c.marker), c.kind);
    // Each kind's own marker, as the logger names its collectors, reads back as the kind.
    if (c.kind) {
      EXPECT_EQ(CollectorKindOf(CollectorKindMarker(*c.kind)), c.kind);
    }
  }
}

}  // namespace
