#pragma once

#include <windows.h>

#include "win32/unique_resource.h"

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

// A second process left running while the test works beside it: its standard input is
// a pipe the test writes to and closes, its standard output and error are pipes read on
// request, so a test can stall the child's output, watch its files or end it.
class RunningChild {
 public:
  explicit RunningChild(const std::wstring& commandLine, const ChildSetup& setup = {});
  // Ends a child still running (a test that failed half-way leaves none behind).
  ~RunningChild();
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;

  bool started() const noexcept { return started_; }
  DWORD processId() const noexcept { return processId_; }
  HANDLE process() const { return process_.get(); }
  bool Exited() const;

  // Writes all of `bytes` to the child's standard input (blocks while its pipe is full);
  // false when the child stopped reading for good.
  bool WriteInput(const std::string& bytes);
  void CloseInput() noexcept { input_.reset(); }
  // Appends what the output pipes hold now to out and err, without waiting; false when
  // they held nothing.
  bool TakeOutput();
  // Reads the output until `text` has appeared in out, or the time runs out.
  bool WaitForOutput(const std::string& text, DWORD timeoutMs);
  // Reads the output until the child has exited and its pipes are empty; ends the child
  // when the time runs out (finished is then false).
  ChildResult Finish(DWORD timeoutMs);

  std::string out;
  std::string err;

 private:
  bool started_ = false;
  DWORD processId_ = 0;
  UniqueHandle process_;
  UniqueHandle input_;
  UniqueHandle output_;
  UniqueHandle error_;
};

// Runs a command line as a second process with its standard streams on pipes, feeds it
// the given input, and collects its output until it exits or the time limit runs out.
ChildResult RunChild(const std::wstring& commandLine, const std::string& input = {},
                     DWORD timeoutMs = 60000, const ChildSetup& setup = {});
