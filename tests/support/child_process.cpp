#include "support/child_process.h"

#include <algorithm>
#include <cwchar>
#include <thread>

#include "win32/unique_resource.h"

std::wstring ProgramBesideMe(const wchar_t* fileName) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  const std::size_t slash = folder.find_last_of(L"\\/");
  folder.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return folder + fileName;
}

namespace {

struct Pipe {
  UniqueHandle read;
  UniqueHandle write;
};

// The child's end is inheritable, ours is not.
Pipe MakePipe(bool childReads) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  ::CreatePipe(&read, &write, &inherit, 0);
  Pipe pipe{UniqueHandle(read), UniqueHandle(write)};
  ::SetHandleInformation(childReads ? write : read, HANDLE_FLAG_INHERIT, 0);
  return pipe;
}

// Reads what the pipe holds now, without waiting for more; false when it held nothing (or
// is broken).
bool TakeAvailable(HANDLE from, std::string* into) {
  DWORD available = 0;
  if (!::PeekNamedPipe(from, nullptr, 0, nullptr, &available, nullptr) || available == 0) return false;
  char chunk[65536];
  DWORD got = 0;
  if (!::ReadFile(from, chunk, available < sizeof(chunk) ? available : sizeof(chunk), &got, nullptr)) return false;
  into->append(chunk, got);
  return got > 0;
}

bool SameVariable(const std::wstring& entry, const std::wstring& name) {
  if (entry.size() <= name.size() || entry[name.size()] != L'=') return false;
  return ::CompareStringOrdinal(entry.c_str(), static_cast<int>(name.size()), name.c_str(),
                                static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::wstring ChildEnvironmentBlock(const ChildSetup& setup) {
  if (setup.environment.empty()) return {};
  std::vector<std::wstring> entries;
  wchar_t* inherited = ::GetEnvironmentStringsW();
  for (const wchar_t* entry = inherited; *entry != L'\0'; entry += std::wcslen(entry) + 1) entries.emplace_back(entry);
  ::FreeEnvironmentStringsW(inherited);

  for (const auto& [name, value] : setup.environment) {
    std::erase_if(entries, [&name](const std::wstring& entry) { return SameVariable(entry, name); });
    if (value) entries.push_back(name + L"=" + *value);
  }
  std::wstring block;
  for (const std::wstring& entry : entries) block += entry + L'\0';
  return block + L'\0';
}

RunningChild::RunningChild(const std::wstring& commandLine, const ChildSetup& setup) {
  Pipe in = MakePipe(true);
  Pipe out = MakePipe(false);
  Pipe err = MakePipe(false);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.read.get();
  startup.hStdOutput = setup.standardOutput != nullptr ? setup.standardOutput : out.write.get();
  startup.hStdError = err.write.get();
  PROCESS_INFORMATION process{};
  std::wstring mutableLine = commandLine;
  std::wstring environment = ChildEnvironmentBlock(setup);
  if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environment.data(),
                        setup.currentDirectory.empty() ? nullptr : setup.currentDirectory.c_str(), &startup,
                        &process)) {
    return;
  }
  started_ = true;
  processId_ = process.dwProcessId;
  process_.reset(process.hProcess);
  UniqueHandle thread(process.hThread);
  // Only the child holds its ends now, so its input ends when we close ours.
  input_ = std::move(in.write);
  output_ = std::move(out.read);
  error_ = std::move(err.read);
}

RunningChild::~RunningChild() {
  if (started_ && !Exited()) {
    ::TerminateProcess(process_.get(), 1);
    ::WaitForSingleObject(process_.get(), INFINITE);
  }
}

bool RunningChild::Exited() const { return ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0; }

bool RunningChild::WriteInput(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    if (!input_ || !::WriteFile(input_.get(), bytes.data() + done, chunk, &written, nullptr)) return false;
    done += written;
  }
  return true;
}

bool RunningChild::TakeOutput() {
  const bool tookOut = TakeAvailable(output_.get(), &out);
  const bool tookErr = TakeAvailable(error_.get(), &err);
  return tookOut || tookErr;
}

bool RunningChild::WaitForOutput(const std::string& text, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    if (out.find(text) != std::string::npos) return true;
    if (!TakeOutput()) {
      if (Exited() || ::GetTickCount64() > deadline) return TakeOutput() && out.find(text) != std::string::npos;
      ::Sleep(1);
    }
  }
}

ChildResult RunningChild::Finish(DWORD timeoutMs) {
  ChildResult result;
  result.started = started_;
  if (!started_) return result;
  // The output is read as it comes, until the child has exited and its pipes are empty,
  // not until the pipes end: a process the child started can hold copies of the child's
  // standard handles long after it (under Wine the desktop process, started for the first
  // program that needs a window, keeps that program's standard error) and would keep
  // the end of the pipe from ever coming.
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  result.finished = true;
  for (;;) {
    const bool exited = Exited();
    const bool took = TakeOutput();
    if (exited && !took) break;
    if (!exited && ::GetTickCount64() > deadline) {
      result.finished = false;
      ::TerminateProcess(process_.get(), 1);
      ::WaitForSingleObject(process_.get(), INFINITE);
    }
    if (!took) ::Sleep(1);
  }
  ::GetExitCodeProcess(process_.get(), &result.exitCode);
  result.out = std::move(out);
  result.err = std::move(err);
  return result;
}

ChildResult RunChild(const std::wstring& commandLine, const std::string& input, DWORD timeoutMs,
                     const ChildSetup& setup) {
  RunningChild child(commandLine, setup);
  if (!child.started()) return {};
  std::thread inputWriter([&input, &child] {
    if (!input.empty()) child.WriteInput(input);
    child.CloseInput();
  });
  ChildResult result = child.Finish(timeoutMs);
  inputWriter.join();
  return result;
}
