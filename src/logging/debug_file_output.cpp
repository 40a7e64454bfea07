// The debug log file output: opening and continuing the file and writing its head,
// encodings and their headers, lines, the size limit and the end-of-log marker.

#include "logging/debug_file_output.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string_view>
#include <utility>

#include "diagnostics/system_error_text.h"
#include "logging/line_breaks.h"
#include "logging/log_retention.h"
#include "logging/tick_count.h"
#include "logging/log_levels.h"
#include "text/decimal_text.h"
#include "text/stream_codecvt.h"

namespace {

constexpr std::int64_t kNoPosition = -1;
// Lines are formatted into at most this many characters; a cut line gets its CR LF back.
constexpr int kLineFormatChars = 1023;
constexpr DWORD kMarkerChunkBytes = 8190;
constexpr const wchar_t kMarkerText[] = L"====== END OF LOG ======";
constexpr const wchar_t kWideEndOfLog[] = L"====== END OF LOG ======\r\n";
constexpr const wchar_t kNonUnicodeLine[] =
    L"[DIAG] Error writing the debug trace line - non-UNICODE characters encountered\r\n";
constexpr std::size_t kMarkerLineChars = std::size(kWideEndOfLog) - 1;
// A file this output wrapped ends at most one line and a marker past its limit; one
// larger than that was never wrapped by it, so it is not read through for a marker.
constexpr std::int64_t kWrappedFileSlack = 4 * (kLineFormatChars + 2 + kMarkerLineChars);
// Waiting lines are written once they hold this many bytes. Measured under Wine, 64
// lines per write already write 24 times as many lines a second as one per write; a
// batch of this size is several hundred lines, so the write costs a few nanoseconds
// a line, and the batch still stays in the processor's cache.
constexpr std::size_t kBatchBytes = 64 * 1024;
// The most one encoded line takes (four bytes a character, its CR LF included), with the
// marker behind it.
constexpr std::size_t kMostLineBytes = 4 * (kLineFormatChars + 2 + kMarkerLineChars);

bool IsLineBreak(wchar_t c) { return c == L'\r' || c == L'\n'; }

// True when every character is ASCII and none is zero. IsTextUnicode judges such a line
// Unicode text whatever its content (each character has a zero high byte, and no byte
// pattern it rejects can occur), so only other lines need to be asked, and the single-byte
// and UTF-8 forms of such a line are its characters as bytes.
bool IsPlainAscii(const wchar_t* text, std::size_t length) {
  wchar_t seen = 0;
  bool zero = false;
  for (std::size_t i = 0; i < length; ++i) {
    seen |= text[i];
    zero |= text[i] == L'\0';
  }
  return seen < 0x80 && !zero;
}

wchar_t* AppendText(wchar_t* at, const wchar_t* text, std::size_t length) {
  std::wmemcpy(at, text, length);
  return at + length;
}

template <typename Char, std::size_t N>
Char* AppendLiteral(Char* at, const char (&text)[N]) {
  for (std::size_t i = 0; i + 1 < N; ++i) *at++ = static_cast<Char>(text[i]);
  return at;
}

// What every line starts with, "[code] (MM/DD hh:mm:ss.mmm):{0xTHREAD} ", as wide text or
// as its bytes (it is ASCII). At most kWidestFrame characters.
constexpr std::size_t kWidestFrame = 1 + 10 + 3 + 5 * 6 + 3 + 1 + 5 + 2 + 8 + 2;
template <typename Char>
Char* AppendFrame(Char* at, unsigned long code, const SYSTEMTIME& time, DWORD threadId) {
  *at++ = static_cast<Char>('[');
  at = AppendDecimal<Char>(at, code, 5);
  at = AppendLiteral(at, "] (");
  at = AppendDecimal<Char>(at, time.wMonth, 2);
  *at++ = static_cast<Char>('/');
  at = AppendDecimal<Char>(at, time.wDay, 2);
  *at++ = static_cast<Char>(' ');
  at = AppendDecimal<Char>(at, time.wHour, 2);
  *at++ = static_cast<Char>(':');
  at = AppendDecimal<Char>(at, time.wMinute, 2);
  *at++ = static_cast<Char>(':');
  at = AppendDecimal<Char>(at, time.wSecond, 2);
  *at++ = static_cast<Char>('.');
  at = AppendDecimal<Char>(at, time.wMilliseconds, 3);
  at = AppendLiteral(at, "):{0x");
  Char hex[8];
  int count = 0;
  DWORD thread = threadId;
  do {
    hex[count++] = static_cast<Char>("0123456789ABCDEF"[thread & 0xF]);
    thread >>= 4;
  } while (thread != 0);
  while (count > 0) *at++ = hex[--count];
  return AppendLiteral(at, "} ");
}

// The line of one piece of a record, formatted by hand: the system's formatter costs more
// than the rest of the line's way to the file. Returns the line's length, or -1 when it
// would not fit kLineFormatChars characters, where the formatter and its cut take over.
int FormatLineQuickly(wchar_t* line, unsigned long code, const SYSTEMTIME& time, DWORD threadId,
                      const wchar_t* userText, std::size_t userTextLength, const wchar_t* piece,
                      std::size_t length) {
  // The frame, {user} piece CR LF, with room for every field at its widest.
  const std::size_t userPart = userText != nullptr ? userTextLength + 3 : 0;
  if (kWidestFrame + userPart + length + 2 > static_cast<std::size_t>(kLineFormatChars)) return -1;
  wchar_t* at = AppendFrame(line, code, time, threadId);
  if (userText != nullptr) {
    *at++ = L'{';
    at = AppendText(at, userText, userTextLength);
    at = AppendText(at, L"} ", 2);
  }
  at = AppendText(at, piece, length);
  at = AppendText(at, L"\r\n", 2);
  return static_cast<int>(at - line);
}

// Copies a text up to its terminator as one byte per character, when every character is
// a printable ASCII one and at most `room` of them come: then the text is the same in the
// single-byte encoding and in UTF-8, holds no line break to escape, and IsTextUnicode
// would judge any line of it Unicode text (each character has a zero high byte, and no
// byte pattern it rejects can occur). Answers the characters copied, or -1 for any other
// text, which the caller then formats the long way.
//
// This is the part of a line's way to the file that grows with its text, so it looks at
// several characters at once, each time in a block read at a boundary of its own size:
// such a block lies within one page, so the block that holds the terminator can be read
// whole whatever follows it.
std::ptrdiff_t CopyPlainAscii(const wchar_t* text, char* out, std::size_t room) {
  static_assert(sizeof(wchar_t) == 2, "UTF-16 code units");
  const auto plain = [](wchar_t c) { return c >= L' ' && c < 0x80; };
#if defined(__SSE2__)
  constexpr std::size_t kBlock = 16;  // eight characters
#else
  constexpr std::size_t kBlock = 8;  // four characters
#endif
  constexpr std::size_t kChars = kBlock / sizeof(wchar_t);
  std::size_t n = 0;
  // One by one up to the first block boundary.
  for (; (reinterpret_cast<std::uintptr_t>(text + n) & (kBlock - 1)) != 0; ++n) {
    if (text[n] == L'\0') return static_cast<std::ptrdiff_t>(n);
    if (!plain(text[n]) || n == room) return -1;
    out[n] = static_cast<char>(text[n]);
  }
  // A block at a time while all its characters are plain.
  for (;; n += kChars) {
#if defined(__SSE2__)
    const __m128i block = _mm_load_si128(reinterpret_cast<const __m128i*>(text + n));
    // Plain is from 0x20 to 0x7F: less than 0x60 after taking 0x20 off, compared as
    // unsigned numbers (signed after the top bit is flipped).
    const __m128i shifted = _mm_xor_si128(_mm_sub_epi16(block, _mm_set1_epi16(0x20)), _mm_set1_epi16(-0x8000));
    const __m128i notPlain = _mm_cmpgt_epi16(shifted, _mm_set1_epi16(-0x8000 + 0x5F));
    if (_mm_movemask_epi8(notPlain) != 0) break;
    if (room - n < kChars) return -1;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + n), _mm_packus_epi16(block, block));
#else
    constexpr std::uint64_t kLanes = 0x0001000100010001u;
    std::uint64_t block;
    std::memcpy(&block, text + n, sizeof(block));
    // A character below a space (the terminator among them) makes its lane borrow into
    // its top bit; one at or above 0x80 has a bit in the upper nine of its lane.
    const std::uint64_t belowSpace = (block - kLanes * 0x20) & ~block & (kLanes * 0x8000);
    if ((belowSpace | (block & (kLanes * 0xFF80))) != 0) break;
    if (room - n < kChars) return -1;
    const auto bytes = static_cast<std::uint32_t>((block & 0xFF) | ((block >> 8) & 0xFF00) |
                                                  ((block >> 16) & 0xFF0000) | ((block >> 24) & 0xFF000000));
    std::memcpy(out + n, &bytes, sizeof(bytes));
#endif
  }
  // The rest one by one, to the terminator or the first character that is not plain.
  for (;; ++n) {
    if (text[n] == L'\0') return static_cast<std::ptrdiff_t>(n);
    if (!plain(text[n]) || n == room) return -1;
    out[n] = static_cast<char>(text[n]);
  }
}

}  // namespace

// ---- Opening ----

DebugFileOutput::DebugFileOutput(Hooks hooks)
    : hooks_(std::move(hooks)),
      utf8_(std::locale::classic(), new UTF8StreamCodeCvtFacet),
      utf16_(std::locale::classic(), new UTF16LEStreamCodeCvtFacet) {}

LogFileDate DebugFileOutput::Today() const {
  SYSTEMTIME now{};
  clocks_.localTime(&now);
  return LogFileDate{now.wYear, now.wMonth, now.wDay};
}

StructuredNameParts DebugFileOutput::StructuredParts() const {
  const Layout& layout = settings_.layout;
  StructuredNameParts parts;
  parts.root = layout.logRootDirectory;
  parts.prefix = layout.fileNamePrefix;
  parts.host = LogHostName();
  parts.component = layout.componentName;
  parts.instance = layout.instanceNumber;
  parts.dailyFiles = layout.dailyFiles;
  parts.dateFolders = layout.dateFolders;
  return parts;
}

std::wstring DebugFileOutput::ChooseFileName(bool startNewFile) {
  const Layout& layout = settings_.layout;
  const bool deleteOld = layout.dailyFiles && settings_.maxDailyFileAge > 0;
  if (layout.structuredFileNames) {
    const StructuredNameParts parts = StructuredParts();
    if (deleteOld) DeleteOldStructuredFiles(parts, fileDate_, settings_.maxDailyFileAge);
    int sequence = FindHighestSequenceNumber(parts, fileDate_);
    sequence = startNewFile ? sequence + 1 : std::max(sequence, 1);
    wchar_t name[kMaxLogFileNameChars + 1];
    if (!BuildStructuredFileName(parts, fileDate_, sequence, name, std::size(name))) {
      errno = ENAMETOOLONG;
      return {};
    }
    return name;
  }
  // A path too long for a name is refused whole: cut, it would name another file.
  if (settings_.path.size() > kMaxLogFileNameChars) {
    errno = ENAMETOOLONG;
    return {};
  }
  const PlainFileName plain = BuildPlainFileName(settings_.path, layout.instanceNumber, layout.dailyFiles, fileDate_);
  if (deleteOld) DeleteOldPlainFiles(plain.stem, plain.extension, fileDate_, settings_.maxDailyFileAge);
  const std::wstring name = startNewFile ? plain.Numbered(NextPlainFileNumber(plain)) : plain.Name();
  if (name.size() > kMaxLogFileNameChars) {
    errno = ENAMETOOLONG;
    return {};
  }
  return name;
}

bool DebugFileOutput::Open() { return OpenFile(false, 0); }

bool DebugFileOutput::OpenFile(bool startNewFile, int depth) {
  // The lines waiting belong to the file open now, and what follows looks at it as written.
  Flush();
  // Values other than the two multi-byte encodings write one byte per character.
  const int configured = settings_.encoding;
  const int wanted = configured == kUtf8 || configured == kUtf16LE ? configured : kSingleByte;
  if (file_) {
    const int found = DetectEncoding();
    if (found == -1) {
      if (WriteHeader()) return true;
    } else if (found == wanted) {
      return true;
    }
    // A file of another encoding is left as it is, without a marker, for a new one.
    startNewFile = true;
    CloseWithoutMarker();
  }
  if (settings_.path.empty()) return true;

  fileDate_ = Today();
  const std::wstring name = ChooseFileName(startNewFile || settings_.layout.newFileWhenFull);
  if (name.empty() || EnsureFilePath(name) != 0) {
    failed_ = true;
    ReportRunTimeProblem(L"Could not create debug trace file " + (name.empty() ? settings_.path : name));
    return false;
  }

  // One writer per file: this output keeps its own write position, which a second writer
  // would write over. Readers may share it.
  file_.reset(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) {
    const DWORD error = ::GetLastError();
    failed_ = true;
    ReportProblem(L"Debug trace file " + name + L" was not open : " + Win32CallError(L"CreateFileW", error), error,
                  &openErrors_);
    return false;
  }
  fileName_ = name;
  failed_ = false;
  openErrors_.Succeeded();
  runTimeErrors_.Succeeded();
  encoding_ = static_cast<Encoding>(wanted);
  position_ = 0;

  const int found = DetectEncoding();
  if (found == -1) {
    if (!WriteHeader()) return false;
  } else if (found != wanted) {
    // A second round closes this file and starts a new one next to it.
    if (depth < 2) return OpenFile(true, depth + 1);
    CloseWithoutMarker();
    failed_ = true;
    return false;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file_.get(), &size) || !SeekTo(size.QuadPart)) return false;
  end_ = size.QuadPart;
  const int limit = settings_.maxFileSize;
  if (limit > 0 && found != -1 && size.QuadPart <= limit + kWrappedFileSlack) {
    const std::int64_t marker = FindEndOfLogMarker();
    if (marker != kNoPosition && !SeekTo(marker)) return false;
  }
  const std::int64_t headStart = found == -1 ? 0 : position_;
  const bool written = !hooks_.writeHead || hooks_.writeHead(*this);
  headBytes_ = position_ - headStart;
  return written;
}

bool DebugFileOutput::WriteHeadLine(int level, const wchar_t* text) {
  if (!file_) return false;
  RecordView line;
  clocks_.localTime(&line.time);
  line.threadId = ::GetCurrentThreadId();
  line.level = level;
  line.message = text;
  AddLines(line);
  return WritePending(EndMark::kWhereOlderLinesFollow);
}

void DebugFileOutput::CloseWithoutMarker() { file_.reset(); }

bool DebugFileOutput::Close() {
  if (!file_) return true;
  // The waiting lines and the marker after them go in one write.
  if (settings_.maxFileSize > 0) AddEncoded(kWideEndOfLog, kMarkerLineChars);
  WritePending(EndMark::kNone);
  if (!::CloseHandle(file_.release())) failed_ = true;
  return true;
}

bool DebugFileOutput::Reopen() {
  Close();
  if (!Open()) return false;
  if (file_ && hooks_.reopened) hooks_.reopened();
  return IsOpen();
}

void DebugFileOutput::StartRetryClock() { lastCheck_ = clocks_.ticks(); }

void DebugFileOutput::CheckBeforeRecord() {
  const bool haveName = !settings_.path.empty();
  const bool dateChanged = settings_.layout.dailyFiles && haveName && Today() != fileDate_;
  const DWORD now = clocks_.ticks();
  const bool retryDue = (!file_ || failed_) && TicksSince(lastCheck_, now) > static_cast<DWORD>(kRetryMs);
  // A file that is closed without having failed (the output was switched on after the
  // start) opens for the next line at once.
  const bool openNow = !file_ && !failed_ && haveName;
  if (!retryDue && !dateChanged && !openNow) return;
  if (retryDue || dateChanged) lastCheck_ = now;
  Reopen();
}

// ---- Writing ----

bool DebugFileOutput::SeekTo(std::int64_t position) {
  LARGE_INTEGER to;
  to.QuadPart = position;
  if (!::SetFilePointerEx(file_.get(), to, nullptr, FILE_BEGIN)) {
    failed_ = true;
    return false;
  }
  position_ = position;
  return true;
}

bool DebugFileOutput::PastLimit(std::int64_t position) const {
  const std::int64_t limit = settings_.maxFileSize;
  return limit > 0 && position > std::max(limit, headBytes_ + limit / 2);
}

bool DebugFileOutput::Wrap() {
  if (!SeekTo(0) || !WriteHeader()) return false;
  headBytes_ = position_;
  // The line that passed the limit carried no marker; the newest writing is now here.
  return WriteEncoded(L"", 0, EndMark::kWhereOlderLinesFollow);
}

char* DebugFileOutput::PendingRoom(std::size_t bytes) {
  // Past a full batch only a record of many lines, or a long text, grows the buffer.
  const std::size_t most = pendingBytes_ + bytes;
  if (pending_.size() < most) pending_.resize(std::max(most, kBatchBytes + kMostLineBytes));
  return pending_.data() + pendingBytes_;
}

void DebugFileOutput::AddEncoded(const wchar_t* text, std::size_t length) {
  // Room for the text and a marker behind it.
  char* const at = PendingRoom((length + kMarkerLineChars) * 4);
  pendingBytes_ += Encode(text, length, at, length * 4);
}

bool DebugFileOutput::WriteEncoded(const wchar_t* text, std::size_t length, EndMark mark) {
  if (!file_) return false;
  AddEncoded(text, length);
  return WritePending(mark);
}

bool DebugFileOutput::Flush() { return pendingBytes_ == 0 || WritePending(EndMark::kUnlessPastLimit); }

bool DebugFileOutput::WritePending(EndMark mark) {
  const std::uint64_t records = std::exchange(pendingRecords_, 0);
  const std::size_t count = std::exchange(pendingBytes_, 0);
  if (!file_) {
    lostLines_ += records;
    return false;
  }
  const std::int64_t linesEnd = position_ + static_cast<std::int64_t>(count);
  const bool marked = mark != EndMark::kNone && settings_.maxFileSize > 0 && linesEnd < end_ &&
                      (mark == EndMark::kWhereOlderLinesFollow || !PastLimit(linesEnd));
  if (count == 0 && !marked) return true;
  // AddEncoded leaves room for a marker behind the lines; a marker alone may come first.
  char* const bytes = PendingRoom(count + kMarkerLineChars * 4);
  std::size_t total = count;
  if (marked) total += Encode(kWideEndOfLog, kMarkerLineChars, bytes + count, kMarkerLineChars * 4);
  DWORD written = 0;
  if (!::WriteFile(file_.get(), bytes, static_cast<DWORD>(total), &written, nullptr) || written != total) {
    const DWORD error = written != total && ::GetLastError() == ERROR_SUCCESS ? ERROR_HANDLE_DISK_FULL : ::GetLastError();
    // What part of the lines reached the file is overwritten by the next ones.
    SeekTo(position_);
    failed_ = true;
    lostLines_ += records;
    ReportProblem(L"Could not write debug trace file " + fileName_ + L" : " + Win32CallError(L"WriteFile", error),
                  error, &writeErrors_);
    return false;
  }
  end_ = std::max(end_, position_ + static_cast<std::int64_t>(total));
  writeErrors_.Succeeded();
  if (records > 0) runTimeErrors_.Succeeded();
  failed_ = false;
  position_ = linesEnd;
  // The next lines go over the marker.
  return !marked || SeekTo(position_);
}

std::size_t DebugFileOutput::Encode(const wchar_t* text, std::size_t length, char* bytes, std::size_t capacity) const {
  if (encoding_ == kSingleByte) {
    for (std::size_t i = 0; i < length; ++i) bytes[i] = text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    return length;
  }
  if (IsPlainAscii(text, length)) {
    if (encoding_ == kUtf16LE) {
      // The characters as they stand: Windows holds wide text as UTF-16LE.
      std::memcpy(bytes, text, length * sizeof(wchar_t));
      return length * sizeof(wchar_t);
    }
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(text[i]);
    return length;
  }
  const auto& convert = std::use_facet<WideCodeCvt>(encoding_ == kUtf8 ? utf8_ : utf16_);
  std::mbstate_t state{};
  const wchar_t* fromNext = text;
  char* toNext = bytes;
  convert.out(state, text, text + length, fromNext, bytes, bytes + capacity, toNext);
  // A high surrogate left at the very end is written on its own.
  char* end = toNext;
  convert.unshift(state, toNext, bytes + capacity, end);
  return static_cast<std::size_t>(end - bytes);
}

void DebugFileOutput::ReportProblem(const std::wstring& text, long error, OncePerRun* told) {
  lastProblem_ = text;
  if (told->IsNew(error) && hooks_.problem) hooks_.problem(L"[DIAG] " + text);
}

void DebugFileOutput::ReportRunTimeProblem(const std::wstring& text) {
  const int error = errno;
  ReportProblem(WithRunTimeError(text, error), error, &runTimeErrors_);
}

bool DebugFileOutput::WriteHeader() {
  if (encoding_ == kSingleByte) return true;
  if (!file_) return false;
  const wchar_t* header = encoding_ == kUtf8 ? L"\xFEFFUTF-8 encoded\r\n" : L"\xFEFFUTF-16LE encoded\r\n";
  if (!WriteEncoded(header, std::wcslen(header))) {
    ReportRunTimeProblem(L"Error during writing the debug file header");
    return false;
  }
  return true;
}

int DebugFileOutput::DetectEncoding() {
  LARGE_INTEGER size{};
  if (!file_ || !::GetFileSizeEx(file_.get(), &size)) return -2;
  if (size.QuadPart == 0) return -1;
  unsigned char head[32] = {};
  DWORD got = 0;
  const std::int64_t keep = position_;
  const bool read = SeekTo(0) && ::ReadFile(file_.get(), head, sizeof(head), &got, nullptr) && got > 0;
  if (!SeekTo(keep) || !read) return -2;
  const auto startsWith = [&](std::size_t offset, const char* text) {
    const std::size_t length = std::strlen(text);
    return offset + length <= got && std::memcmp(head + offset, text, length) == 0;
  };
  const auto startsWithWide = [&](std::size_t offset, const char* text) {
    const std::size_t length = std::strlen(text);
    if (offset + 2 * length > got) return false;
    for (std::size_t i = 0; i < length; ++i) {
      if (head[offset + 2 * i] != static_cast<unsigned char>(text[i]) || head[offset + 2 * i + 1] != 0) return false;
    }
    return true;
  };
  if (startsWith(0, "\xEF\xBB\xBF")) return startsWith(3, "UTF-8") ? kUtf8 : -2;
  if (startsWith(0, "\xFF\xFE")) {
    return startsWithWide(2, "UTF-16LE") || startsWithWide(2, "UTF-16BE") ? kUtf16LE : -2;
  }
  if (startsWith(0, "\xFE\xFF")) return -2;
  return kSingleByte;
}

std::int64_t DebugFileOutput::FindEndOfLogMarker() const {
  // The marker counts only as a line of its own: at the start of the file or after a
  // line feed, and ending in CR LF. A record's text that holds the marker follows the
  // record's own head on its line, so it never passes for one.
  const std::size_t unit = encoding_ == kUtf16LE ? 2 : 1;
  const auto inFile = [&](const wchar_t* text) {
    std::string bytes;
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
      bytes += static_cast<char>(*c);
      if (unit == 2) bytes += '\0';
    }
    return bytes;
  };
  const std::string marker = inFile(kMarkerText);
  const std::string lineFeed = inFile(L"\n");
  const std::string lineEnd = inFile(L"\r\n");
  // Everything that decides one hit: the line feed before it, the marker, its CR LF.
  // Consecutive chunks overlap by that much, so every hit is judged whole in one chunk.
  const std::size_t window = lineFeed.size() + marker.size() + lineEnd.size();
  UniqueFileHandle reader(::CreateFileW(fileName_.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!reader) return kNoPosition;
  std::string chunk(kMarkerChunkBytes, '\0');
  std::int64_t offset = 0;
  for (;;) {
    LARGE_INTEGER at;
    at.QuadPart = offset;
    DWORD got = 0;
    if (!::SetFilePointerEx(reader.get(), at, nullptr, FILE_BEGIN) ||
        !::ReadFile(reader.get(), chunk.data(), kMarkerChunkBytes, &got, nullptr) || got == 0) {
      return kNoPosition;
    }
    const std::string_view bytes(chunk.data(), got);
    for (std::size_t hit = bytes.find(marker); hit != std::string_view::npos; hit = bytes.find(marker, hit + 1)) {
      const std::int64_t position = offset + static_cast<std::int64_t>(hit);
      // UTF-16 text starts at even offsets; a hit between two characters is no marker.
      if (position % static_cast<std::int64_t>(unit) != 0) continue;
      const bool atFileStart = position == 0;
      // A hit whose line feed or line end lies outside this chunk is judged in the chunk
      // before or after it.
      if ((!atFileStart && hit < lineFeed.size()) || hit + marker.size() + lineEnd.size() > got) continue;
      const bool ownLine = (atFileStart || bytes.compare(hit - lineFeed.size(), lineFeed.size(), lineFeed) == 0) &&
                           bytes.compare(hit + marker.size(), lineEnd.size(), lineEnd) == 0;
      if (ownLine) return position;
    }
    if (got < kMarkerChunkBytes) return kNoPosition;
    const std::int64_t next = offset + got - static_cast<std::int64_t>(window);
    if (next <= offset) return kNoPosition;
    offset = next;
  }
}

bool DebugFileOutput::AddPlainLine(const RecordView& record) {
  char* const line = PendingRoom(kLineFormatChars + kMarkerLineChars * 4);
  char* at = AppendFrame(line, record.EventCode(), record.time, record.threadId);
  // The texts' room: the whole line, CR LF included, within the formatting limit.
  std::size_t room = kLineFormatChars - 2 - static_cast<std::size_t>(at - line);
  const wchar_t* const userText = record.userText;
  if (userText != nullptr && userText[0] != L'\0') {
    *at++ = '{';
    const std::ptrdiff_t copied = CopyPlainAscii(userText, at, room - 3);
    if (copied < 0) return false;
    at = AppendLiteral(at + copied, "} ");
    room -= static_cast<std::size_t>(copied) + 3;
  }
  const std::ptrdiff_t copied = CopyPlainAscii(record.message != nullptr ? record.message : L"", at, room);
  if (copied < 0) return false;
  at = AppendLiteral(at + copied, "\r\n");
  pendingBytes_ += static_cast<std::size_t>(at - line);
  return true;
}

void DebugFileOutput::AddLines(const RecordView& record) {
  const bool split = settings_.layout.splitMultiLineMessages;
  // Most lines are ASCII text short enough to stand whole: straight into the batch.
  if (!split && encoding_ != kUtf16LE && AddPlainLine(record)) return;

  const SYSTEMTIME& time = record.time;
  const DWORD threadId = record.threadId;
  const wchar_t* const message = record.message != nullptr ? record.message : L"";
  const wchar_t* userText = record.userText;
  const bool withUser = userText != nullptr && userText[0] != L'\0';
  wchar_t escapedUser[kLineFormatChars + 1];
  std::size_t userTextLength = withUser ? std::wcslen(userText) : 0;
  if (withUser && HasLineBreak(userText, userTextLength)) {
    userTextLength = CopyEscapingLineBreaks(userText, userTextLength, escapedUser, kLineFormatChars);
    escapedUser[userTextLength] = L'\0';
    userText = escapedUser;
  }
  const unsigned long code = record.EventCode();
  const wchar_t* piece = message;
  for (;;) {
    std::size_t length = 0;
    if (split) {
      while (piece[length] != L'\0' && !IsLineBreak(piece[length])) ++length;
    } else {
      length = std::wcslen(piece);
    }
    const wchar_t* next = piece + length;
    if (split) {
      while (length > 0 && std::iswspace(piece[length - 1])) --length;
    }

    // Without splitting, a line break inside the message would end the record's line
    // early, and what follows it could pass for a record of its own.
    wchar_t escapedPiece[kLineFormatChars];
    if (!split && HasLineBreak(piece, length)) {
      length = CopyEscapingLineBreaks(piece, length, escapedPiece, kLineFormatChars);
      piece = escapedPiece;
    }
    wchar_t line[kLineFormatChars + 3];
    const int quick = FormatLineQuickly(line, code, time, threadId, withUser ? userText : nullptr, userTextLength,
                                        piece, length);
    std::size_t lineLength = quick >= 0 ? static_cast<std::size_t>(quick) : 0;
    if (quick < 0) {
      const int precision = static_cast<int>(std::min<std::size_t>(length, kLineFormatChars));
      // The user text in braces, when there is one; the line's cut is the same either way.
      wchar_t userPiece[kLineFormatChars + 4] = {};
      if (withUser) ::_snwprintf(userPiece, std::size(userPiece) - 1, L"{%s} ", userText);
      const int formatted =
          ::_snwprintf(line, kLineFormatChars, L"[%05lu] (%02d/%02d %02d:%02d:%02d.%03d):{0x%X} %s%.*s\r\n", code,
                       time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds,
                       static_cast<unsigned>(threadId), userPiece, precision, piece);
      lineLength = formatted < 0 ? kLineFormatChars : static_cast<std::size_t>(formatted);
      if (formatted < 0) {
        // The cut can keep the CR of the line's own end: the line ends in one CR LF.
        while (lineLength > 0 && IsLineBreak(line[lineLength - 1])) --lineLength;
        line[lineLength++] = L'\r';
        line[lineLength++] = L'\n';
      }
    }
    const wchar_t* text = line;
    if (lineLength > 2 && !IsPlainAscii(line, lineLength) &&
        !::IsTextUnicode(line, static_cast<int>(lineLength * sizeof(wchar_t)), nullptr)) {
      text = kNonUnicodeLine;
      lineLength = std::size(kNonUnicodeLine) - 1;
    }
    AddEncoded(text, lineLength);

    if (!split) break;
    while (IsLineBreak(*next)) ++next;
    if (*next == L'\0') break;
    piece = next;
  }
}

bool DebugFileOutput::Write(const RecordView& record) {
  if (!file_) {
    ++lostLines_;
    return false;
  }
  AddLines(record);
  ++pendingRecords_;
  if (PastLimit(Position())) {
    // The batch ends with the record that passed the limit: it goes to this file, and
    // the next record to the start of it or to the next file.
    if (!Flush()) return false;
    // The next numbered file, or the newest lines over the oldest after a fresh header:
    // the file keeps its length, so a reader finds the newest writing at the marker.
    return settings_.layout.newFileWhenFull ? Reopen() : Wrap();
  }
  return pendingBytes_ < kBatchBytes || Flush();
}
