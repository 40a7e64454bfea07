#include "input_lines.h"

#include <memory>

void LineSplitter::Feed(const char* bytes, std::size_t length) {
  std::size_t start = 0;
  while (start < length) {
    const void* found = std::memchr(bytes + start, '\n', length - start);
    if (found == nullptr) break;
    const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - bytes);
    if (pending_.empty()) {
      Emit(bytes + start, end - start);
    } else {
      pending_.append(bytes + start, end - start);
      Emit(pending_.data(), pending_.size());
      pending_.clear();
    }
    start = end + 1;
  }
  pending_.append(bytes + start, length - start);
}

void LineSplitter::Finish() {
  if (pending_.empty()) return;
  Emit(pending_.data(), pending_.size());
  pending_.clear();
}

void LineSplitter::Emit(const char* bytes, std::size_t length) {
  if (length > 0 && bytes[length - 1] == '\r') --length;
  onLine_(bytes, length);
}

std::wstring DecodeInputLine(const char* bytes, std::size_t length, bool firstLine) {
  if (firstLine && length >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
    bytes += 3;
    length -= 3;
  }
  if (length == 0 || length > 0x7FFFFFFF) return {};
  const int size = static_cast<int>(length);
  std::wstring text;
  for (const UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int chars = ::MultiByteToWideChar(codePage, flags, bytes, size, nullptr, 0);
    if (chars <= 0) continue;
    text.resize(static_cast<std::size_t>(chars));
    ::MultiByteToWideChar(codePage, flags, bytes, size, text.data(), chars);
    break;
  }
  // A record's text ends at its first zero character; the replacement character keeps
  // the place of the NUL and everything after it.
  for (wchar_t& c : text) {
    if (c == L'\0') c = L'\xFFFD';
  }
  return text;
}

DWORD ReadLines(HANDLE input, LineSplitter* splitter) {
  constexpr DWORD kChunkBytes = 64 * 1024;
  const auto chunk = std::make_unique<char[]>(kChunkBytes);
  DWORD result = ERROR_SUCCESS;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(input, chunk.get(), kChunkBytes, &got, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) result = error;
      break;
    }
    if (got == 0) break;
    splitter->Feed(chunk.get(), got);
  }
  splitter->Finish();
  return result;
}
