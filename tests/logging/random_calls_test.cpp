// Thousands of logging calls, wide and narrow, with random formats and random argument
// values, bad pointers included: none may crash, each invalid call gives exactly one
// report and each valid one exactly one record.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "logging/logger_fixture.h"
#include "logging/logging_calls.h"
#include "support/long_run.h"

namespace {

using Slot = std::uintptr_t;  // one argument slot on both architectures

const wchar_t* const kWideTexts[] = {L"", L"w", L"wide text", L"\u00e9t\u00e9"};
const char* const kNarrowTexts[] = {"", "n", "narrow text", "\xE9t\xE9"};

// Memory the formatter must never be handed: a page that cannot be read, one that cannot
// be written, and texts without a terminator that run into a page that cannot be read,
// short ones (within the first 1024 characters) and long ones (beyond them).
struct Traps {
  Traps()
      : noAccess(::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS)),
        readOnly(::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY)),
        unterminated(static_cast<char*>(::VirtualAlloc(nullptr, 3 * 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {
    std::memset(unterminated, 'u', 2 * 4096);
    DWORD previous = 0;
    ::VirtualProtect(unterminated + 2 * 4096, 4096, PAGE_NOACCESS, &previous);
  }
  ~Traps() {
    ::VirtualFree(noAccess, 0, MEM_RELEASE);
    ::VirtualFree(readOnly, 0, MEM_RELEASE);
    ::VirtualFree(unterminated, 0, MEM_RELEASE);
  }
  // The last `chars` characters before the unreadable page, with no terminator.
  const char* NarrowUnterminated(std::size_t chars) const { return unterminated + 2 * 4096 - chars; }
  const wchar_t* WideUnterminated(std::size_t chars) const {
    return reinterpret_cast<const wchar_t*>(unterminated + 2 * 4096) - chars;
  }
  void* noAccess;
  void* readOnly;
  char* unterminated;
};

struct GeneratedCall {
  std::wstring format;
  std::vector<Slot> arguments;
  bool valid = true;
};

class CallGenerator {
 public:
  CallGenerator(std::uint32_t seed, const Traps& traps) : random_(seed), traps_(traps) {}

  // A narrow format reads %s as a narrow text and %S as a wide one.
  GeneratedCall Next(int index, bool narrowFormat) {
    narrowFormat_ = narrowFormat;
    GeneratedCall call;
    call.format = L"#" + std::to_wstring(index) + L":";
    const int pieces = Pick(0, 5);
    bool decided = false;  // the first failure decides; the rest of the format is never reached
    for (int i = 0; i < pieces && call.arguments.size() < 6; ++i) {
      const bool invalid = AddPiece(&call);
      if (invalid && !decided) {
        call.valid = false;
        decided = true;
      }
    }
    if (Pick(0, 20) == 0 && !decided) {
      call.format += L"%";  // a lone percent sign at the end
      call.valid = false;
    }
    return call;
  }

  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

 private:
  // Appends one piece; answers true when the piece makes the call invalid.
  bool AddPiece(GeneratedCall* call) {
    static const wchar_t* const kIntegers[] = {L"%d", L"%i", L"%u", L"%x", L"%X", L"%o", L"%5d", L"%-3x",
                                               L"%+d", L"%ld", L"%lu", L"%hd", L"%hu", L"%#x"};
    static const wchar_t* const kCharacters[] = {L"%c", L"%C", L"%lc", L"%hc"};
    static const wchar_t* const kRejected[] = {L"%lld", L"%hhd", L"%Lf", L"%a", L"%I32d", L"%zu", L"%wd", L"%F"};
    switch (Pick(0, 10)) {
      case 0: call->format += L" text 100%% "; return false;
      case 1:
        call->format += kIntegers[Pick(0, static_cast<int>(std::size(kIntegers)) - 1)];
        call->arguments.push_back(static_cast<Slot>(random_()));
        return false;
      case 2:
        call->format += kCharacters[Pick(0, 3)];
        call->arguments.push_back(static_cast<Slot>(Pick(0x20, 0x7E)));
        return false;
      case 3: {  // wide string
        call->format += Pick(0, 1) ? (narrowFormat_ ? L"%S" : L"%s") : L"%ls";
        const int which = Pick(0, 6);
        if (which == 0) {
          call->arguments.push_back(reinterpret_cast<Slot>(traps_.noAccess));
          return true;
        }
        if (which == 6) {
          call->arguments.push_back(reinterpret_cast<Slot>(traps_.WideUnterminated(Pick(0, 1) ? 10 : 3000)));
          return true;
        }
        call->arguments.push_back(which == 1 ? 0 : reinterpret_cast<Slot>(kWideTexts[Pick(0, 3)]));
        return false;
      }
      case 4: {  // narrow string
        call->format += Pick(0, 1) ? (narrowFormat_ ? L"%s" : L"%S") : L"%hs";
        const int which = Pick(0, 6);
        if (which == 0) {
          call->arguments.push_back(reinterpret_cast<Slot>(traps_.noAccess) + 8);
          return true;
        }
        if (which == 6) {
          call->arguments.push_back(reinterpret_cast<Slot>(traps_.NarrowUnterminated(Pick(0, 1) ? 10 : 6000)));
          return true;
        }
        call->arguments.push_back(which == 1 ? 0 : reinterpret_cast<Slot>(kNarrowTexts[Pick(0, 3)]));
        return false;
      }
      case 5:
        call->format += L"%p";
        call->arguments.push_back(static_cast<Slot>(random_()));
        return false;
      case 6: {  // %n: only a writable int will do
        call->format += L"%n";
        const int which = Pick(0, 3);
        if (which == 0) {
          call->arguments.push_back(0);
          return true;
        }
        if (which == 1) {
          call->arguments.push_back(reinterpret_cast<Slot>(traps_.readOnly));
          return true;
        }
        call->arguments.push_back(reinterpret_cast<Slot>(&written_));
        return false;
      }
      case 7:
        call->format += L"%*d";
        call->arguments.push_back(static_cast<Slot>(Pick(0, 20)));
        call->arguments.push_back(static_cast<Slot>(random_()));
        return false;
      case 8:
        if constexpr (sizeof(Slot) == 8) {
          // Eight-byte kinds take one slot only where slots are eight bytes wide.
          static const wchar_t* const kWide[] = {L"%I64d", L"%I64x", L"%f", L"%e", L"%g", L"%lf"};
          const int which = Pick(0, 5);
          call->format += kWide[which];
          if (which >= 2) {
            const double real = std::uniform_real_distribution<double>(-1e6, 1e6)(random_);
            Slot bits;
            std::memcpy(&bits, &real, sizeof(bits));
            call->arguments.push_back(bits);
          } else {
            call->arguments.push_back(static_cast<Slot>(random_()) << 32 | random_());
          }
          return false;
        }
        call->format += L" ";
        return false;
      default:
        call->format += kRejected[Pick(0, static_cast<int>(std::size(kRejected)) - 1)];
        call->arguments.push_back(1);
        return true;
    }
  }

  std::mt19937 random_;
  const Traps& traps_;
  int written_ = 0;
  bool narrowFormat_ = false;
};

using RandomLoggingCalls = RunningProcessLogger;

// What one call must leave: a record, a report, or nothing at a level the gate holds back.
enum class Outcome { kRecord, kReport, kNone };

TEST_F(RandomLoggingCalls, EveryCallGivesOneRecordOrOneReport) {
  constexpr std::uint32_t kSeed = 20261209;
  const int kCalls = LongTestRun() ? 1000000 : 20000;
  const Traps traps;
  CallGenerator generator(kSeed, traps);
  std::vector<Outcome> expected;
  int invalidCalls = 0;
  for (int i = 0; i < kCalls; ++i) {
    const bool narrow = generator.Pick(0, 1) == 0;
    GeneratedCall call = generator.Next(i, narrow);
    call.arguments.resize(8, 0);
    const Slot* a = call.arguments.data();
    // Levels the gate passes (the debug threshold is 3; 5 passes always), and others.
    const int level = generator.Pick(-3, 20);
    const DWORD eventId = generator.Pick(0, 1) ? 0u : static_cast<DWORD>(generator.Pick(0, 0x7FFFFFFF)) * 2u;
    if (narrow) {
      const std::string format(call.format.begin(), call.format.end());  // the generator writes ASCII only
      LogMessageA(level, format.c_str(), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
    } else {
      LogMessageWithId(level, eventId, call.format.c_str(), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
    }
    expected.push_back(!IsLogLevelEnabled(level) ? Outcome::kNone : (call.valid ? Outcome::kRecord : Outcome::kReport));
    invalidCalls += expected.back() == Outcome::kReport ? 1 : 0;
  }
  ASSERT_GT(invalidCalls, kCalls / 10) << "the generator must exercise the rejections";
  ASSERT_LT(invalidCalls, kCalls * 9 / 10) << "and the valid road";

  // Which call each message came from: a record starts with its marker, a report quotes
  // the format that carries it.
  std::map<int, std::vector<bool>> seen;  // call -> kinds seen (true = record)
  const std::wstring reportHead = L"Invalid log entry - ";
  for (const std::wstring& message : sink_.Take()) {
    const bool isReport = message.rfind(reportHead, 0) == 0;
    const std::size_t marker = isReport ? message.find(L"Format:#") + 7 : 0;
    ASSERT_EQ(message[marker], L'#') << std::string(message.begin(), message.end());
    seen[std::stoi(message.substr(marker + 1))].push_back(!isReport);
  }
  for (int i = 0; i < kCalls; ++i) {
    SCOPED_TRACE(i);
    const Outcome outcome = expected[static_cast<std::size_t>(i)];
    ASSERT_EQ(seen[i].size(), outcome == Outcome::kNone ? 0u : 1u) << "exactly one message per call that passes the gate";
    if (outcome != Outcome::kNone) {
      EXPECT_EQ(seen[i][0], outcome == Outcome::kRecord);
    }
  }
  std::printf("%d calls, %d of them invalid, each reported once\n", kCalls, invalidCalls);
}

}  // namespace
