#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// Path of a program built beside the running test program.
std::wstring ProgramBesideMe(const wchar_t* fileName);

struct ChildResult {
  bool started = false;
  bool finished = false;   // false when the time limit ran out (the child was terminated)
  DWORD exitCode = 0;
  std::string out;         // standard output, bytes as written
  std::string err;         // standard error
};

// Where a child runs, when not as this process does: its current directory, changes to
// the environment it inherits (a variable with its new value, or with none to remove
// it), and a standard output of the test's own in place of the collecting pipe (an
// inheritable handle: a pipe nobody reads, a full device), whose output is then not
// collected.
struct ChildSetup {
  using Environment = std::vector<std::pair<std::wstring, std::optional<std::wstring>>>;
  std::wstring currentDirectory;
  Environment environment;
  HANDLE standardOutput = nullptr;
};

// This process's environment with the setup's changes, as a block for CreateProcessW
// (CREATE_UNICODE_ENVIRONMENT). Empty when the setup changes nothing.
std::wstring ChildEnvironmentBlock(const ChildSetup& setup);

// Runs a command line as a second process with its standard streams on pipes, feeds it
// the given input, and collects its output until it exits or the time limit runs out.
ChildResult RunChild(const std::wstring& commandLine, const std::string& input = {},
                     DWORD timeoutMs = 60000, const ChildSetup& setup = {});
