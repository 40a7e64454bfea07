#include "diagnostics/symbol_engine.h"

#include <cstring>

#include "diagnostics/system_error_text.h"
#include "logging/log_levels.h"
#include "logging/logging_calls.h"

namespace {

constexpr const char* kGetSymbolPath = "SymbolEngine::GetSymbolPath";

// Whether a call that fills the buffer gave a text, and the error when it did not. The
// calls answer 0 on failure and, when their text does not fit, the size they need (or,
// for the module name, the whole size after cutting the name): such a text is not in the
// buffer whole, so it counts as a failure too.
struct SourceAnswer {
  bool gaveText;
  DWORD error;
};

SourceAnswer Examine(DWORD answer, DWORD size) {
  if (answer == 0) return {false, ::GetLastError()};
  if (answer >= size) return {false, ERROR_INSUFFICIENT_BUFFER};
  return {true, ERROR_SUCCESS};
}

void WarnSourceFailed(const char* format, DWORD error) {
  const SystemErrorTextA text(error, kUserDefaultLanguage);
  LogMessageA(kLogWarning, format, kGetSymbolPath, text.c_str(), static_cast<int>(error));
}

void AddEntry(std::string* path, const std::string& entry) {
  if (!path->empty()) *path += ';';
  *path += entry;
}

// Adds the buffer's text when the source gave one, else logs why it did not.
void AddSource(std::string* path, SourceAnswer answer, const char* buffer, const char* failureFormat) {
  if (answer.gaveText) {
    AddEntry(path, buffer);
  } else {
    WarnSourceFailed(failureFormat, answer.error);
  }
}

struct EnvironmentSource {
  const char* name;
  const char* failureFormat;
};

constexpr EnvironmentSource kEnvironmentSources[] = {
    {"_NT_SYMBOL_PATH",
     "[%s] Cannot get env value for _NT_SYMBOL_PATH, the function returns error: %s. code (%d)"},
    {"_NT_ALTERNATE_SYMBOL_PATH",
     "[%s] Cannot get env value for _NT_ALTERNATE_SYMBOL_PATH, the function returns error: %s. code (%d)"},
    {"SYSTEMROOT", "[%s] Cannot get env value for SYSTEMROOT, the function returns error: %s. code (%d)"},
};

}  // namespace

SymbolEngine::SymbolEngine() : symbolPath_(new char[kSymbolPathBytes]()) {
  GetSymbolPath(symbolPath_.get(), kSymbolPathBytes);
  process_.reset(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, ::GetCurrentProcessId()));
}

char* SymbolEngine::GetSymbolPath(char* buffer, DWORD size) {
  if (buffer == nullptr) {
    LogMessageA(kLogWarning, "%s Buffer is null", kGetSymbolPath);
    return nullptr;
  }
  // There would be no room even for the terminator.
  if (size == 0) {
    LogMessageA(kLogWarning, "%s Buffer size is 0", kGetSymbolPath);
    return nullptr;
  }

  // The buffer is the work area of every call; the path grows apart from it.
  std::string path;

  AddSource(&path, Examine(::GetCurrentDirectoryA(size, buffer), size), buffer,
            "[%s] Cannot get current folder name, the function returns error: %s. code (%d)");

  const SourceAnswer program = Examine(::GetModuleFileNameA(nullptr, buffer, size), size);
  if (program.gaveText) {
    const std::string folder = ProgramFolderOf(buffer);
    if (!folder.empty()) AddEntry(&path, folder);
  } else {
    WarnSourceFailed("[%s] Cannot get module file name, the function returns error: %s. code (%d)",
                     program.error);
  }

  for (const EnvironmentSource& source : kEnvironmentSources) {
    AddSource(&path, Examine(::GetEnvironmentVariableA(source.name, buffer, size), size), buffer,
              source.failureFormat);
  }

  ::OutputDebugStringA("Symbols Path: ");
  ::OutputDebugStringA(path.c_str());
  ::OutputDebugStringA("\n");

  const std::size_t kept = path.size() < size ? path.size() : size - 1;
  std::memcpy(buffer, path.data(), kept);
  buffer[kept] = '\0';
  return buffer;
}

std::string SymbolEngine::ProgramFolderOf(const char* fileName) {
  if (fileName == nullptr) return {};
  const std::string name(fileName);
  const std::size_t separator = name.find_last_of("\\/:");
  if (separator == std::string::npos || separator == 0) return {};
  return name.substr(0, name[separator] == ':' ? separator + 1 : separator);
}
