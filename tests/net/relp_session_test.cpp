// The RELP client session on bytes alone: the frames it writes, byte for byte, and what
// it makes of the collector's answers, whole, in pieces or several in one read. The
// answers are written as rsyslog's imrelp writes them. The session against a real imrelp
// is in collector_test.sh.

#include "net/relp_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// imrelp's answer to an open, as rsyslog 8.2302 sent it.
const std::string kOpenAnswer =
    "1 rsp 93 200 OK\nrelp_version=0\nrelp_software=librelp,1.11.0,http://librelp.adiscon.com\ncommands=syslog\n";

// "m1", "m2" ... (built by appending: GCC 12 warns falsely of overlap for
// "m" + std::to_string(i)).
std::string Numbered(int i) {
  std::string message = "m";
  message += std::to_string(i);
  return message;
}

// An answer frame; its length counted here, so a case shows only what it is about.
std::string Answer(std::uint32_t transaction, const std::string& data) {
  std::string frame = std::to_string(transaction);
  frame += " rsp ";
  frame += std::to_string(data.size());
  if (!data.empty()) frame += " " + data;
  return frame + "\n";
}

std::string Ok(std::uint32_t transaction) { return Answer(transaction, "200 OK"); }

std::string Oks(std::uint32_t first, std::uint32_t last) {
  std::string answers;
  for (std::uint32_t t = first; t <= last; ++t) answers += Ok(t);
  return answers;
}

// A session whose open was sent and answered, with the frames it sent since.
class OpenSession : public testing::Test {
 protected:
  explicit OpenSession(std::size_t window = RelpSession::kDefaultWindow, std::size_t bytes = 1 << 20)
      : session_(window, bytes) {}
  void SetUp() override {
    std::string open;
    session_.Begin(open);
    ASSERT_EQ(session_.Receive(kOpenAnswer), RelpSession::Outcome::kOpened);
  }
  void Hold(int count) {
    for (int i = 1; i <= count; ++i) session_.Hold(Numbered(i));
  }
  std::string Frames() {
    std::string wire;
    session_.AppendFrames(wire, 1 << 30);
    return wire;
  }
  RelpSession session_;
};

TEST(RelpSession, OpensWithTransactionOneAndSendsNothingBeforeTheAnswer) {
  RelpSession session(RelpSession::kDefaultWindow, 1 << 20);
  session.Hold("<14> first");
  std::string wire;
  session.Begin(wire);
  EXPECT_EQ(wire, "1 open 55 relp_version=0\nrelp_software=varrowmere\ncommands=syslog\n");
  EXPECT_EQ(session.AppendFrames(wire, 1 << 20), 0u);
  EXPECT_EQ(session.CurrentPhase(), RelpSession::Phase::kOpening);

  EXPECT_EQ(session.Receive(kOpenAnswer), RelpSession::Outcome::kOpened);
  wire.clear();
  EXPECT_EQ(session.AppendFrames(wire, 1 << 20), 1u);
  EXPECT_EQ(wire, "2 syslog 10 <14> first\n");
}

TEST_F(OpenSession, FramesNumberUpByOneAndAnAnswerReleasesItsMessage) {
  session_.Hold("<14> a");
  session_.Hold("");  // an empty message has no data part
  session_.Hold("<14> caf\xc3\xa9");
  EXPECT_EQ(Frames(), "2 syslog 6 <14> a\n3 syslog 0\n4 syslog 10 <14> caf\xc3\xa9\n");
  EXPECT_EQ(session_.Unanswered(), 3u);

  EXPECT_EQ(session_.Receive(Ok(2) + Ok(3)), RelpSession::Outcome::kNothingNew);
  EXPECT_EQ(session_.Acknowledged(), 2u);
  EXPECT_EQ(session_.Unanswered(), 1u);
  EXPECT_EQ(session_.HeldCount(), 1u);
  EXPECT_EQ(Frames(), "");  // nothing is sent twice within a session
}

// The answers to five frames, cut at every possible place into two reads, and fed a byte
// at a time: the same acknowledgements every way.
TEST_F(OpenSession, AnswersInPiecesCountTheSameAsWholeOnes) {
  const std::string answers = Oks(2, 6);
  for (std::size_t cut = 0; cut <= answers.size(); ++cut) {
    SCOPED_TRACE(cut);
    RelpSession session(RelpSession::kDefaultWindow, 1 << 20);
    std::string wire;
    session.Begin(wire);
    ASSERT_EQ(session.Receive(kOpenAnswer.substr(0, 20)), RelpSession::Outcome::kNothingNew);
    ASSERT_EQ(session.Receive(kOpenAnswer.substr(20)), RelpSession::Outcome::kOpened);
    for (int i = 0; i < 5; ++i) session.Hold("x");
    session.AppendFrames(wire, 1 << 20);
    EXPECT_EQ(session.Receive(answers.substr(0, cut)), RelpSession::Outcome::kNothingNew);
    EXPECT_EQ(session.Acknowledged(),
              static_cast<std::uint64_t>(std::count(answers.begin(), answers.begin() + cut, '\n')));
    EXPECT_EQ(session.Receive(answers.substr(cut)), RelpSession::Outcome::kNothingNew);
    EXPECT_EQ(session.Acknowledged(), 5u);
    EXPECT_EQ(session.Unanswered(), 0u);
  }
  Hold(5);
  Frames();
  for (const char c : answers) ASSERT_EQ(session_.Receive(std::string(1, c)), RelpSession::Outcome::kNothingNew);
  EXPECT_EQ(session_.Acknowledged(), 5u);
}

TEST(RelpSessionWindow, AFullWindowWaitsForAnswers) {
  RelpSession session(3, 1 << 20);
  std::string wire;
  session.Begin(wire);
  ASSERT_EQ(session.Receive(kOpenAnswer), RelpSession::Outcome::kOpened);
  for (int i = 1; i <= 5; ++i) session.Hold(Numbered(i));

  wire.clear();
  EXPECT_EQ(session.AppendFrames(wire, 1 << 20), 3u);
  EXPECT_EQ(wire, "2 syslog 2 m1\n3 syslog 2 m2\n4 syslog 2 m3\n");
  EXPECT_EQ(session.AppendFrames(wire, 1 << 20), 0u);

  ASSERT_EQ(session.Receive(Ok(2)), RelpSession::Outcome::kNothingNew);
  wire.clear();
  EXPECT_EQ(session.AppendFrames(wire, 1 << 20), 1u);
  EXPECT_EQ(wire, "5 syslog 2 m4\n");
  // The wire limit stops it too: a frame goes only while the wire is shorter.
  ASSERT_EQ(session.Receive(Ok(3) + Ok(4)), RelpSession::Outcome::kNothingNew);
  wire = "already queued";
  EXPECT_EQ(session.AppendFrames(wire, 5), 0u);
}

// The collector goes away with frames on the wire: a new session numbers from 1 again and
// sends every unanswered message, in order, before the newer ones.
TEST_F(OpenSession, AfterTheConnectionEndsANewSessionSendsTheUnansweredFirstInOrder) {
  Hold(4);
  Frames();
  ASSERT_EQ(session_.Receive(Ok(2) + "0 serverclose 0\n"), RelpSession::Outcome::kServerClosed);
  session_.End();
  session_.Hold("m5");
  EXPECT_EQ(session_.CurrentPhase(), RelpSession::Phase::kIdle);
  EXPECT_EQ(session_.Unanswered(), 0u);
  EXPECT_EQ(session_.HeldCount(), 4u);

  std::string wire;
  session_.Begin(wire);
  EXPECT_EQ(wire.substr(0, 7), "1 open ");
  EXPECT_EQ(Frames(), "");
  ASSERT_EQ(session_.Receive(kOpenAnswer), RelpSession::Outcome::kOpened);
  EXPECT_EQ(Frames(), "2 syslog 2 m2\n3 syslog 2 m3\n4 syslog 2 m4\n5 syslog 2 m5\n");
  ASSERT_EQ(session_.Receive(Oks(2, 5)), RelpSession::Outcome::kNothingNew);
  EXPECT_EQ(session_.Acknowledged(), 5u);
  EXPECT_EQ(session_.HeldCount(), 0u);
}

TEST_F(OpenSession, ACloseIsAnsweredAfterTheFramesBeforeIt) {
  Hold(2);
  std::string wire = Frames();
  session_.Close(wire);
  EXPECT_EQ(wire, "2 syslog 2 m1\n3 syslog 2 m2\n4 close 0\n");
  EXPECT_EQ(session_.Receive(Oks(2, 3)), RelpSession::Outcome::kNothingNew);
  // imrelp answers a close, then says it closes too.
  EXPECT_EQ(session_.Receive("4 rsp 0\n0 serverclose 0\n"), RelpSession::Outcome::kClosed);
  EXPECT_EQ(session_.Acknowledged(), 2u);
}

// A message the collector answers with an error is not kept: sending it again would get
// the same answer.
TEST_F(OpenSession, AnErrorAnswerRefusesItsMessageOnly) {
  Hold(2);
  Frames();
  EXPECT_EQ(session_.Receive(Answer(2, "500 message too large") + Ok(3)), RelpSession::Outcome::kNothingNew);
  EXPECT_EQ(session_.Refused(), 1u);
  EXPECT_EQ(session_.LastRefusal(), "500 message too large");
  EXPECT_EQ(session_.Acknowledged(), 1u);
  EXPECT_EQ(session_.HeldCount(), 0u);
}

// Answers a client cannot take end the session; its messages stay held for the next one.
TEST(RelpSessionFaults, AnswersThatBreakTheSession) {
  const struct {
    const char* name;
    std::string answer;
    std::string problem;
  } cases[] = {
      {"an answer for a frame not sent", Ok(3), "the collector answered transaction 3, which has no answer due"},
      {"an answer twice", Ok(2) + Ok(2), "the collector answered transaction 2, which has no answer due"},
      {"no transaction number", "rsp 6 200 OK\n", "the collector sent a frame without a transaction number"},
      {"a ten-digit number", "1234567890 rsp 6 200 OK\n", "the collector sent a frame without a transaction number"},
      {"no command", "2  6 200 OK\n", "the collector sent a frame without a command"},
      {"a length that is no number", "2 rsp x 200 OK\n", "the collector sent a frame without a usable data length"},
      {"a length beyond any answer", "2 rsp 999999 x\n", "the collector sent a frame without a usable data length"},
      {"no trailer", "2 rsp 6 200 OKX", "the collector sent a frame that does not end in a line feed"},
      {"a command no collector sends", "2 syslog 2 hi\n", "the collector sent the command \"syslog\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RelpSession session(RelpSession::kDefaultWindow, 1 << 20);
    std::string wire;
    session.Begin(wire);
    ASSERT_EQ(session.Receive(kOpenAnswer), RelpSession::Outcome::kOpened);
    session.Hold("m1");
    session.Hold("m2");
    session.AppendFrames(wire, 1 << 20);
    EXPECT_EQ(session.Receive(c.answer), RelpSession::Outcome::kBroken);
    EXPECT_EQ(session.Problem(), c.problem);
    session.End();
    EXPECT_EQ(session.HeldCount(), 2u - session.Acknowledged());
  }
}

TEST(RelpSessionFaults, AnOpenTheCollectorDoesNotAcceptBreaksTheSession) {
  const struct {
    std::string answer;
    std::string problem;
  } cases[] = {
      {Answer(1, "500 unknown relp_version"), "the collector refused the open: 500 unknown relp_version"},
      {Answer(1, "200 OK\nrelp_version=0\ncommands=rsp"), "the collector does not offer the syslog command"},
      {Ok(1), "the collector does not offer the syslog command"},
      {Ok(2), "the collector answered transaction 2 before the open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    RelpSession session(RelpSession::kDefaultWindow, 1 << 20);
    std::string wire;
    session.Begin(wire);
    EXPECT_EQ(session.Receive(c.answer), RelpSession::Outcome::kBroken);
    EXPECT_EQ(session.Problem(), c.problem);
  }
}

// The held bytes are bounded: the oldest messages not on the wire make room, those on the
// wire stay until answered, and each run of drops begins once.
TEST(RelpSessionBound, TheOldestWaitingMessagesAreDroppedInRuns) {
  RelpSession session(2, 10);  // room for five two-byte messages
  std::string wire;
  session.Begin(wire);
  ASSERT_EQ(session.Receive(kOpenAnswer), RelpSession::Outcome::kOpened);
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(session.Hold(Numbered(i)).dropped, 0u);
  wire.clear();
  session.AppendFrames(wire, 1 << 20);  // m1 and m2 on the wire

  const HeldMessages::PushOutcome first = session.Hold("m6");
  EXPECT_EQ(first.dropped, 1u);
  EXPECT_TRUE(first.dropRunBegan);
  const HeldMessages::PushOutcome second = session.Hold("m7");
  EXPECT_EQ(second.dropped, 1u);
  EXPECT_FALSE(second.dropRunBegan);
  EXPECT_EQ(session.Dropped(), 2u);

  // m3 and m4 went; the frames on the wire still get their answers.
  ASSERT_EQ(session.Receive(Ok(2) + Ok(3)), RelpSession::Outcome::kNothingNew);
  wire.clear();
  session.AppendFrames(wire, 1 << 20);
  EXPECT_EQ(wire, "4 syslog 2 m5\n5 syslog 2 m6\n");

  EXPECT_EQ(session.Hold("m8").dropped, 0u);  // room again: the run is over
  EXPECT_EQ(session.Hold("m9").dropped, 0u);
  EXPECT_TRUE(session.Hold("mA").dropRunBegan);
  // A message larger than the room left beside the ones on the wire is itself dropped.
  EXPECT_EQ(session.Hold("far too long").dropped, 1u);
}

// A run of drops is told once: a message that happens to fit in the room an earlier drop
// left does not end it; only a message leaving for the collector does.
TEST(HeldMessagesBound, ARunOfDropsLastsUntilAMessageLeavesForTheCollector) {
  HeldMessages held(10);
  EXPECT_EQ(held.Push("aaaa", 0).dropped, 0u);
  EXPECT_EQ(held.Push("bbbb", 0).dropped, 0u);
  const HeldMessages::PushOutcome first = held.Push("cccccc", 0);
  EXPECT_EQ(first.dropped, 1u);
  EXPECT_TRUE(first.dropRunBegan);
  EXPECT_FALSE(held.Push("d", 0).dropRunBegan);      // drops bbbb: 7 bytes held
  EXPECT_EQ(held.Push("ee", 0).dropped, 0u);          // fits: 9 bytes
  const HeldMessages::PushOutcome later = held.Push("fff", 0);  // drops cccccc
  EXPECT_EQ(later.dropped, 1u);
  EXPECT_FALSE(later.dropRunBegan) << "the run goes on";
  EXPECT_EQ(held.DroppedInRun(), 3u);

  held.PopFront();  // the collector takes one: the run is over
  EXPECT_EQ(held.DroppedInRun(), 0u);
  EXPECT_TRUE(held.Push("gggggggg", 0).dropRunBegan);
  EXPECT_EQ(held.DroppedTotal(), 5u);
}

TEST(RelpSession, TransactionNumbersWrapToOneAfterNineDigits) {
  EXPECT_EQ(RelpSession::NextTransaction(41), 42u);
  EXPECT_EQ(RelpSession::NextTransaction(RelpSession::kLastTransaction), 1u);
}

}  // namespace
