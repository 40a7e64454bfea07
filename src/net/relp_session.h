#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/held_messages.h"

// The client side of RELP (the Reliable Event Logging Protocol, as rsyslog's imrelp
// speaks it), as pure logic on bytes: it writes the frames a connection must carry and
// reads the collector's answers, and knows nothing of sockets, so each rule can be tested
// on bytes alone.
//
// A frame is "TXNR SP COMMAND SP DATALEN [SP DATA] LF". A session opens with `open`
// (transaction 1, offering the `syslog` command), then carries one `syslog` frame per
// message with transaction numbers rising by exactly one; the collector answers each
// frame with `rsp` in the order of the frames ("200 OK" once the message is stored). A
// message stays held until its answer came, whatever happens to the connection: when a
// connection ends, the messages on the wire go back to waiting, and the next session
// (numbered from 1 again) sends every held message again, in order, before any newer one.
// A message whose answer was lost with the connection therefore arrives twice; the
// window bounds how many can.
//
// Threading: one owner thread (the logger thread); no lock.
class RelpSession {
 public:
  static constexpr std::size_t kDefaultWindow = 128;
  // Transaction numbers have at most nine digits; after the last comes 1 again.
  static constexpr std::uint32_t kLastTransaction = 999'999'999;
  // The longest answer accepted; an open's answer with its offers is about 100 bytes.
  static constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

  enum class Phase {
    kIdle,     // no connection
    kOpening,  // `open` sent, its answer not yet in
    kOpen,     // messages flow
    kClosing,  // `close` sent, its answer not yet in
  };

  // What a read of the collector's bytes came to. A session that ended (kClosed,
  // kServerClosed, kBroken) has left the connection no use: the owner drops it and calls
  // End().
  enum class Outcome {
    kNothingNew,    // answers (or part of one) taken in, the session goes on
    kOpened,        // the collector accepted the open: messages may flow
    kClosed,        // the collector answered our close
    kServerClosed,  // the collector said it closes the session (`serverclose`)
    kBroken,        // an answer this client cannot take: Problem() says which
  };

  RelpSession(std::size_t window, std::size_t heldByteLimit);

  // Keeps a message (one syslog line, without its line feed) until the collector answers
  // for it.
  HeldMessages::PushOutcome Hold(std::string_view message) { return held_.Push(message, inFlight_); }

  // A new connection: appends the open command (transaction 1) to `wire`.
  void Begin(std::string& wire);
  // Appends to `wire` frames for held messages this session has not sent yet, oldest
  // first, while the window has room and `wire` is shorter than `wireLimit` bytes.
  // Answers how many it appended. Nothing goes before the open was answered.
  std::size_t AppendFrames(std::string& wire, std::size_t wireLimit);
  // Takes in bytes the collector sent; a frame may arrive in pieces, or several in one read.
  Outcome Receive(std::string_view bytes);
  // Appends the close command to `wire` (an open session only).
  void Close(std::string& wire);
  // The connection is gone: the messages on the wire wait again for the next session.
  void End();

  Phase CurrentPhase() const noexcept { return phase_; }
  std::size_t HeldCount() const noexcept { return held_.Count(); }
  std::size_t HeldBytes() const noexcept { return held_.Bytes(); }
  // Sent in this session and not yet answered.
  std::size_t Unanswered() const noexcept { return inFlight_; }
  // The bytes of the held messages this session has not sent yet.
  std::size_t UnsentBytes() const noexcept { return held_.Bytes() - inFlightBytes_; }
  std::uint64_t Acknowledged() const noexcept { return acknowledged_; }
  // Messages the collector answered with a status other than 200: it will not take them,
  // so they are not sent again. LastRefusal() holds the collector's text for the last one.
  std::uint64_t Refused() const noexcept { return refused_; }
  const std::string& LastRefusal() const noexcept { return lastRefusal_; }
  std::uint64_t Dropped() const noexcept { return held_.DroppedTotal(); }
  // Why the session broke (kBroken), in words.
  const std::string& Problem() const noexcept { return problem_; }

  static std::uint32_t NextTransaction(std::uint32_t transaction) noexcept {
    return transaction >= kLastTransaction ? 1 : transaction + 1;
  }

 private:
  Outcome TakeAnswer(std::uint32_t transaction, std::string_view command, std::string_view data);
  Outcome Broken(std::string problem);
  void AppendFrame(std::string& wire, std::uint32_t transaction, std::string_view command, std::string_view data);

  HeldMessages held_;
  std::size_t window_;
  Phase phase_ = Phase::kIdle;
  // The front inFlight_ held messages are on the wire, numbered from oldestInFlight_ up.
  std::size_t inFlight_ = 0;
  std::size_t inFlightBytes_ = 0;
  std::uint32_t oldestInFlight_ = 0;
  std::uint32_t nextTransaction_ = 1;
  std::uint32_t closeTransaction_ = 0;
  std::string incoming_;  // the collector's bytes not yet forming a whole frame
  std::uint64_t acknowledged_ = 0;
  std::uint64_t refused_ = 0;
  std::string lastRefusal_;
  std::string problem_;
};
