#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "diagnostics/library_loading.h"
#include "win32/unique_resource.h"

// The process's anchor for crash diagnostics: it works out where a debugger or a dump
// reader should look for the program's debugging symbols, shows that search path on the
// debugger output, and holds a handle to its own process and a slot for the
// unhandled-exception filter a crash handler installs.
//
// Built and destroyed with the process-wide objects, single-threaded.
class SymbolEngine : public UnhandledFilterHolder {
 public:
  static constexpr DWORD kSymbolPathBytes = 8192;

  // Computes the search path (warnings for the sources that fail go to the logging
  // calls) and opens the own process; a failed open leaves the handle empty.
  SymbolEngine();
  SymbolEngine(const SymbolEngine&) = delete;
  SymbolEngine& operator=(const SymbolEngine&) = delete;

  // The search path: the current directory, the program's folder, _NT_SYMBOL_PATH,
  // _NT_ALTERNATE_SYMBOL_PATH and SYSTEMROOT, in that order, separated by semicolons.
  // A source that fails, or whose text does not fit the buffer, is logged as a warning
  // and left out. The path goes to the debugger output as "Symbols Path: <path>\n" and
  // into the buffer, cut to size - 1 bytes. Answers the buffer, or null (with a
  // warning) for a null buffer or a size of 0. Any thread may call it.
  static char* GetSymbolPath(char* buffer, DWORD size);

  // The folder a program file name contributes: the name up to its last "\" or "/"
  // (without it), or up to and with its last ":". Empty when there is no such character
  // or it is the name's first.
  static std::string ProgramFolderOf(const char* fileName);

  const char* SymbolPath() const noexcept { return symbolPath_.get(); }
  HANDLE Process() const noexcept { return process_.get(); }

  // The filter a crash handler set up, which LoadLibraryKeepingFilter puts back when the
  // engine is the registered holder; none until one is set up.
  LPTOP_LEVEL_EXCEPTION_FILTER exceptionFilter() const override { return exceptionFilter_; }

 private:
  LPTOP_LEVEL_EXCEPTION_FILTER exceptionFilter_ = nullptr;
  // Declared so that teardown frees the path, closes the process handle and then unloads
  // the symbol library, which the engine loads for a crash handler (none so far).
  UniqueModule symbolLibrary_;
  UniqueHandle process_;
  std::unique_ptr<char[]> symbolPath_;
};

// The process-wide engine, built at start-up after the debug logger.
SymbolEngine& ProcessSymbolEngine();
