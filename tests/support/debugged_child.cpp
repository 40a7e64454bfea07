#include "support/debugged_child.h"

DebuggedChild::DebuggedChild(const std::wstring& commandLine, const ChildSetup& setup) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::wstring mutableLine = commandLine;
  std::wstring environment = ChildEnvironmentBlock(setup);
  if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS | CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environment.data(),
                        setup.currentDirectory.empty() ? nullptr : setup.currentDirectory.c_str(), &startup,
                        &process)) {
    return;
  }
  process_.reset(process.hProcess);
  thread_.reset(process.hThread);
  processId_ = process.dwProcessId;
}

DebuggedChild::~DebuggedChild() {
  if (!process_ || exited_) return;
  ::TerminateProcess(process_.get(), 1);
  std::string ignored;
  RunToExit(&ignored, 10000);
}

void DebuggedChild::Answer() {
  if (pendingThreadId_ == 0) return;
  ::ContinueDebugEvent(processId_, pendingThreadId_, DBG_CONTINUE);
  pendingThreadId_ = 0;
}

bool DebuggedChild::WaitForDebugString(std::string* text, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  while (!exited_) {
    Answer();
    const ULONGLONG now = ::GetTickCount64();
    DEBUG_EVENT event{};
    if (now >= deadline || !::WaitForDebugEvent(&event, static_cast<DWORD>(deadline - now))) return false;
    pendingThreadId_ = event.dwThreadId;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        UniqueHandle(event.u.CreateProcessInfo.hFile).reset();
        break;
      case LOAD_DLL_DEBUG_EVENT:
        UniqueHandle(event.u.LoadDll.hFile).reset();
        break;
      case EXCEPTION_DEBUG_EVENT:
        // The loader's first breakpoint is ours to pass; every other exception is the
        // child's own business.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          ::ContinueDebugEvent(processId_, pendingThreadId_, DBG_EXCEPTION_NOT_HANDLED);
          pendingThreadId_ = 0;
        }
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& output = event.u.DebugString;
        if (output.fUnicode) break;  // narrow writes are what this system makes
        std::string written(output.nDebugStringLength, '\0');
        SIZE_T read = 0;
        ::ReadProcessMemory(process_.get(), output.lpDebugStringData, written.data(), written.size(), &read);
        written.resize(read);
        *text = written.c_str();  // the length counts the terminator
        return true;
      }
      case EXIT_PROCESS_DEBUG_EVENT:
        exitCode_ = event.u.ExitProcess.dwExitCode;
        exited_ = true;
        Answer();
        break;
      default:
        break;
    }
  }
  return false;
}

bool DebuggedChild::RunToNextDebugString(std::string* text, DWORD timeoutMs) {
  return WaitForDebugString(text, timeoutMs);
}

bool DebuggedChild::RunToExit(std::string* debugOutput, DWORD timeoutMs) {
  std::string text;
  while (WaitForDebugString(&text, timeoutMs)) *debugOutput += text;
  return exited_;
}
