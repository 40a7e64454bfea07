#pragma once

// The lines varrowmere-logger writes, read back as a test reads them: whole record lines
// of the debug file or the console, and the generated records ("record N of thread T")
// tallied per thread.

#include <cctype>
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

inline std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

inline constexpr std::string_view kFileHead = "[#####] (##/## ##:##:##.###):{0x";
inline constexpr std::string_view kConsoleHead = "[#####] (##:##:##.###):{0x";
inline constexpr std::string_view kMarker = "====== END OF LOG ======";

// The message of a line whose head has `shape` ('#' any digit, other characters as they
// stand), then a thread in hexadecimal and "} "; false for any other line.
inline bool MessageOf(std::string_view line, std::string_view shape, std::string_view* message) {
  if (line.size() < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '#' ? (line[i] < '0' || line[i] > '9') : line[i] != shape[i]) return false;
  }
  std::size_t at = shape.size();
  const std::size_t digits = at;
  while (at < line.size() && std::isxdigit(static_cast<unsigned char>(line[at])) && !std::islower(line[at])) ++at;
  if (at == digits || line.substr(at, 2) != "} ") return false;
  *message = line.substr(at + 2);
  return true;
}

// "record N of thread T", exactly.
inline bool ParseRecord(std::string_view message, long long* sequence, int* thread) {
  constexpr std::string_view kRecord = "record ";
  constexpr std::string_view kOfThread = " of thread ";
  if (message.substr(0, kRecord.size()) != kRecord) return false;
  message.remove_prefix(kRecord.size());
  const char* const end = message.data() + message.size();
  const auto [afterSequence, sequenceError] = std::from_chars(message.data(), end, *sequence);
  if (sequenceError != std::errc()) return false;
  const std::string_view rest(afterSequence, static_cast<std::size_t>(end - afterSequence));
  if (rest.substr(0, kOfThread.size()) != kOfThread) return false;
  const auto [afterThread, threadError] = std::from_chars(afterSequence + kOfThread.size(), end, *thread);
  return threadError == std::errc() && afterThread == end;
}

// Tallies the generated records ("record N of thread T") among a run's lines: each
// thread's records must come in order, and with `everyRecord` none may be missing.
class RecordTally {
 public:
  RecordTally(int threads, bool everyRecord) : next_(static_cast<std::size_t>(threads) + 1, 1), every_(everyRecord) {}

  // One line of output; anything but a record, a diagnostic or the date line is a fault.
  void Line(std::string_view line, std::string_view shape) {
    std::string_view message;
    if (!MessageOf(line, shape, &message)) return Fault("not a whole record line", line);
    Message(message);
  }

  // The message of one line.
  void Message(std::string_view message) {
    if (message.rfind("[DIAG] ", 0) == 0 || message.rfind("Current Date: ", 0) == 0) {
      diagnostics_.emplace_back(message);
      recordsBefore_.push_back(records_);
      return;
    }
    long long sequence = 0;
    int thread = 0;
    if (!ParseRecord(message, &sequence, &thread) || thread < 1 || static_cast<std::size_t>(thread) >= next_.size()) {
      return Fault("not a generated record", message);
    }
    long long& expected = next_[static_cast<std::size_t>(thread)];
    if (every_ ? sequence != expected : sequence < expected) return Fault("out of order, repeated or missing", message);
    expected = sequence + 1;
    ++records_;
  }

  // Every line of `text`, which must end in a line break.
  void Lines(std::string_view text, std::string_view shape) {
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string_view::npos; start = end + 2) {
      Line(text.substr(start, end - start), shape);
    }
    if (start != text.size()) Fault("a torn last line", text.substr(start));
  }

  long long records() const noexcept { return records_; }
  // The highest record of each thread, when all came.
  bool Complete(long long perThread) const {
    for (std::size_t t = 1; t < next_.size(); ++t) {
      if (next_[t] != perThread + 1) return false;
    }
    return true;
  }
  const std::vector<std::string>& faults() const noexcept { return faults_; }
  const std::vector<std::string>& diagnostics() const noexcept { return diagnostics_; }
  bool Saw(std::string_view diagnostic) const { return RecordsAfter(diagnostic) >= 0; }
  // How many records came after the last diagnostic that contains `diagnostic`; -1 when
  // there was none.
  long long RecordsAfter(std::string_view diagnostic) const {
    for (std::size_t i = diagnostics_.size(); i-- > 0;) {
      if (diagnostics_[i].find(diagnostic) != std::string::npos) return records_ - recordsBefore_[i];
    }
    return -1;
  }

 private:
  void Fault(const char* what, std::string_view line) {
    if (faults_.size() < 5) faults_.push_back(std::string(what) + ": " + std::string(line.substr(0, 200)));
  }

  std::vector<long long> next_;
  bool every_;
  long long records_ = 0;
  std::vector<std::string> faults_;
  std::vector<std::string> diagnostics_;
  std::vector<long long> recordsBefore_;  // of each diagnostic
};

