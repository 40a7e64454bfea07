#pragma once

#include <windows.h>

#include <string>

// Path of a program built beside the running test program.
std::wstring ProgramBesideMe(const wchar_t* fileName);

struct ChildResult {
  bool started = false;
  bool finished = false;   // false when the time limit ran out (the child was terminated)
  DWORD exitCode = 0;
  std::string out;         // standard output, bytes as written
  std::string err;         // standard error
};

// Runs a command line as a second process with its standard streams on pipes, feeds it
// the given input, and collects its output until it exits or the time limit runs out.
ChildResult RunChild(const std::wstring& commandLine, const std::string& input = {},
                     DWORD timeoutMs = 60000);
