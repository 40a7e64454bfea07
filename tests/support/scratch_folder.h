#pragma once

#include <windows.h>

#include <string>

#include "win32/unique_resource.h"

// A folder of its own below the system's temporary folder, made empty when built and
// removed with everything in it when destroyed. Files are written and read back with the
// system's own calls, so code under test is judged by what the disk really holds.
class ScratchFolder {
 public:
  explicit ScratchFolder(const wchar_t* stem) {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + stem + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter_++);
    RemoveTree(path_);
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchFolder() { RemoveTree(path_); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::wstring& path() const noexcept { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

  // Removes a file or a folder with its whole content; read-only files too.
  static void RemoveTree(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileW(path.c_str());
      return;
    }
    WIN32_FIND_DATAW found;
    {
      UniqueFindHandle search(::FindFirstFileW((path + L"\\*").c_str(), &found));
      if (search) {
        do {
          const std::wstring name = found.cFileName;
          if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
        } while (::FindNextFileW(search.get(), &found));
      }
    }
    ::RemoveDirectoryW(path.c_str());
  }

 private:
  static inline int counter_ = 0;
  std::wstring path_;
};

// The whole content of a file as bytes; empty when it cannot be read.
inline std::string ReadFileBytes(const std::wstring& path) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  if (!file) return bytes;
  char chunk[65536];
  DWORD got = 0;
  while (::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
  return bytes;
}

// Writes a file anew with exactly these bytes.
inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

inline bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
