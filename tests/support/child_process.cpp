#include "support/child_process.h"

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

void Drain(HANDLE from, std::string* into) {
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(from, chunk, sizeof(chunk), &got, nullptr) && got > 0) into->append(chunk, got);
}

}  // namespace

ChildResult RunChild(const std::wstring& commandLine, const std::string& input, DWORD timeoutMs) {
  ChildResult result;
  Pipe in = MakePipe(true);
  Pipe out = MakePipe(false);
  Pipe err = MakePipe(false);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.read.get();
  startup.hStdOutput = out.write.get();
  startup.hStdError = err.write.get();
  PROCESS_INFORMATION process{};
  std::wstring mutableLine = commandLine;
  if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return result;
  }
  result.started = true;
  UniqueHandle processHandle(process.hProcess);
  UniqueHandle threadHandle(process.hThread);
  // Only the child holds these ends now, so our reads end when the child exits.
  in.read.reset();
  out.write.reset();
  err.write.reset();

  std::thread outReader(Drain, out.read.get(), &result.out);
  std::thread errReader(Drain, err.read.get(), &result.err);
  if (!input.empty()) {
    DWORD written = 0;
    ::WriteFile(in.write.get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  }
  in.write.reset();

  result.finished = ::WaitForSingleObject(processHandle.get(), timeoutMs) == WAIT_OBJECT_0;
  if (!result.finished) ::TerminateProcess(processHandle.get(), 1);
  ::WaitForSingleObject(processHandle.get(), INFINITE);
  ::GetExitCodeProcess(processHandle.get(), &result.exitCode);
  outReader.join();
  errReader.join();
  return result;
}
