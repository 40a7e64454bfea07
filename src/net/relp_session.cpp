#include "net/relp_session.h"

#include <charconv>

namespace {

// What a client offers in its open: the protocol version and the one command it uses.
constexpr std::string_view kOpenOffers = "relp_version=0\nrelp_software=varrowmere\ncommands=syslog";
constexpr std::size_t kMaxCommandChars = 32;
constexpr std::size_t kMaxNumberDigits = 9;

struct Frame {
  std::uint32_t transaction = 0;
  std::string_view command;
  std::string_view data;
  std::size_t length = 0;  // the whole frame, trailer included
};

enum class Parse { kIncomplete, kMalformed, kComplete };

// Reads up to kMaxNumberDigits digits at `at`; kIncomplete when the bytes end inside the
// number (or before it).
Parse ReadNumber(std::string_view bytes, std::size_t& at, std::uint32_t& value) {
  const std::size_t start = at;
  while (at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9') {
    if (at - start == kMaxNumberDigits) return Parse::kMalformed;
    ++at;
  }
  if (at == bytes.size()) return Parse::kIncomplete;
  if (at == start) return Parse::kMalformed;
  std::from_chars(bytes.data() + start, bytes.data() + at, value);
  return Parse::kComplete;
}

Parse ParseFrame(std::string_view bytes, Frame& frame, std::string& problem) {
  std::size_t at = 0;
  Parse step = ReadNumber(bytes, at, frame.transaction);
  if (step == Parse::kIncomplete) return step;
  if (step == Parse::kMalformed || bytes[at] != ' ') {
    problem = "a frame without a transaction number";
    return Parse::kMalformed;
  }
  const std::size_t commandStart = ++at;
  while (at < bytes.size() && bytes[at] >= 'a' && bytes[at] <= 'z' && at - commandStart < kMaxCommandChars) ++at;
  if (at == bytes.size()) return Parse::kIncomplete;
  if (at == commandStart || bytes[at] != ' ') {
    problem = "a frame without a command";
    return Parse::kMalformed;
  }
  frame.command = bytes.substr(commandStart, at - commandStart);
  ++at;
  std::uint32_t dataLength = 0;
  step = ReadNumber(bytes, at, dataLength);
  if (step == Parse::kIncomplete) return step;
  if (step == Parse::kMalformed || dataLength > RelpSession::kMaxAnswerBytes) {
    problem = "a frame without a usable data length";
    return Parse::kMalformed;
  }
  // An empty frame may end right after its length, or after one more space.
  if (dataLength > 0 || bytes[at] == ' ') {
    if (bytes[at] != ' ') {
      problem = "a frame whose data does not follow its length";
      return Parse::kMalformed;
    }
    ++at;
  }
  if (bytes.size() - at < dataLength + 1) return Parse::kIncomplete;
  frame.data = bytes.substr(at, dataLength);
  at += dataLength;
  if (bytes[at] != '\n') {
    problem = "a frame that does not end in a line feed";
    return Parse::kMalformed;
  }
  frame.length = at + 1;
  return Parse::kComplete;
}

// "200 OK..." gives 200; anything that does not begin with three digits gives 0.
int StatusOf(std::string_view data) {
  if (data.size() < 3) return 0;
  int status = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (data[i] < '0' || data[i] > '9') return 0;
    status = status * 10 + (data[i] - '0');
  }
  return status;
}

std::string_view FirstLine(std::string_view data) { return data.substr(0, data.find('\n')); }

// The open's answer lists what the collector offers, one "name=value" per line after the
// status; "commands" must hold "syslog".
bool OffersSyslog(std::string_view data) {
  constexpr std::string_view kCommands = "commands=";
  for (std::size_t start = data.find('\n'); start != std::string_view::npos;) {
    const std::size_t end = data.find('\n', start + 1);
    const std::string_view line = data.substr(start + 1, end == std::string_view::npos ? end : end - start - 1);
    if (line.substr(0, kCommands.size()) == kCommands) {
      std::string_view commands = line.substr(kCommands.size());
      while (!commands.empty()) {
        const std::size_t comma = commands.find(',');
        if (commands.substr(0, comma) == "syslog") return true;
        commands = comma == std::string_view::npos ? std::string_view() : commands.substr(comma + 1);
      }
      return false;
    }
    start = end;
  }
  return false;
}

std::string Decimal(std::uint64_t value) { return std::to_string(value); }

}  // namespace

RelpSession::RelpSession(std::size_t window, std::size_t heldByteLimit)
    : held_(heldByteLimit), window_(window == 0 ? 1 : window) {}

void RelpSession::AppendFrame(std::string& wire, std::uint32_t transaction, std::string_view command,
                              std::string_view data) {
  char number[16];
  wire.append(number, std::to_chars(number, number + sizeof(number), transaction).ptr);
  wire += ' ';
  wire += command;
  wire += ' ';
  wire.append(number, std::to_chars(number, number + sizeof(number), data.size()).ptr);
  if (!data.empty()) {
    wire += ' ';
    wire += data;
  }
  wire += '\n';
}

void RelpSession::Begin(std::string& wire) {
  End();
  AppendFrame(wire, 1, "open", kOpenOffers);
  nextTransaction_ = 2;
  phase_ = Phase::kOpening;
}

std::size_t RelpSession::AppendFrames(std::string& wire, std::size_t wireLimit) {
  if (phase_ != Phase::kOpen) return 0;
  std::size_t appended = 0;
  while (inFlight_ < window_ && inFlight_ < held_.Count() && wire.size() < wireLimit) {
    if (inFlight_ == 0) oldestInFlight_ = nextTransaction_;
    AppendFrame(wire, nextTransaction_, "syslog", held_.At(inFlight_));
    inFlightBytes_ += held_.At(inFlight_).size();
    ++inFlight_;
    ++appended;
    nextTransaction_ = NextTransaction(nextTransaction_);
  }
  return appended;
}

void RelpSession::Close(std::string& wire) {
  if (phase_ != Phase::kOpen) return;
  closeTransaction_ = nextTransaction_;
  AppendFrame(wire, closeTransaction_, "close", {});
  nextTransaction_ = NextTransaction(nextTransaction_);
  phase_ = Phase::kClosing;
}

void RelpSession::End() {
  phase_ = Phase::kIdle;
  inFlight_ = 0;
  inFlightBytes_ = 0;
  incoming_.clear();
}

RelpSession::Outcome RelpSession::Broken(std::string problem) {
  problem_ = std::move(problem);
  return Outcome::kBroken;
}

RelpSession::Outcome RelpSession::Receive(std::string_view bytes) {
  if (phase_ == Phase::kIdle) return Outcome::kNothingNew;
  incoming_.append(bytes);
  Outcome result = Outcome::kNothingNew;
  std::size_t taken = 0;
  for (;;) {
    Frame frame;
    std::string problem;
    const Parse parse = ParseFrame(std::string_view(incoming_).substr(taken), frame, problem);
    if (parse == Parse::kIncomplete) break;
    const Outcome outcome =
        parse == Parse::kMalformed ? Broken("the collector sent " + problem) : TakeAnswer(frame.transaction, frame.command, frame.data);
    if (outcome == Outcome::kClosed || outcome == Outcome::kServerClosed || outcome == Outcome::kBroken) {
      incoming_.clear();
      return outcome;
    }
    if (outcome == Outcome::kOpened) result = outcome;
    taken += frame.length;
  }
  incoming_.erase(0, taken);
  // A header that never ends is no frame either.
  if (incoming_.size() > kMaxAnswerBytes + 64) return Broken("the collector sent a frame longer than any answer");
  return result;
}

RelpSession::Outcome RelpSession::TakeAnswer(std::uint32_t transaction, std::string_view command,
                                             std::string_view data) {
  // The collector's notice that it goes away; its transaction number is 0.
  if (command == "serverclose") return Outcome::kServerClosed;
  if (command != "rsp") return Broken("the collector sent the command \"" + std::string(command) + "\"");

  const int status = StatusOf(data);
  if (phase_ == Phase::kOpening) {
    if (transaction != 1) return Broken("the collector answered transaction " + Decimal(transaction) + " before the open");
    if (status != 200) return Broken("the collector refused the open: " + std::string(FirstLine(data)));
    if (!OffersSyslog(data)) return Broken("the collector does not offer the syslog command");
    phase_ = Phase::kOpen;
    return Outcome::kOpened;
  }
  if (inFlight_ > 0 && transaction == oldestInFlight_) {
    if (status == 200) {
      ++acknowledged_;
    } else {
      ++refused_;
      lastRefusal_ = FirstLine(data);
    }
    inFlightBytes_ -= held_.Front().size();
    held_.PopFront();
    --inFlight_;
    oldestInFlight_ = NextTransaction(oldestInFlight_);
    return Outcome::kNothingNew;
  }
  if (phase_ == Phase::kClosing && inFlight_ == 0 && transaction == closeTransaction_) return Outcome::kClosed;
  return Broken("the collector answered transaction " + Decimal(transaction) + ", which has no answer due");
}
