#pragma once

#include <windows.h>

#include <tlhelp32.h>

// The Toolhelp functions the process list is taken with. kernel32 offers them on every
// system this program meets, but they are looked up by name so that a system without
// them falls back to the performance data; a test hands in its own.
struct ToolhelpFunctions {
  using CreateSnapshot = HANDLE(WINAPI*)(DWORD flags, DWORD processId);
  using WalkProcesses = BOOL(WINAPI*)(HANDLE snapshot, PROCESSENTRY32W* entry);

  CreateSnapshot createSnapshot = nullptr;
  WalkProcesses first = nullptr;
  WalkProcesses next = nullptr;

  bool Complete() const noexcept { return createSnapshot != nullptr && first != nullptr && next != nullptr; }
};

// kernel32's own; a function it lacks is null.
ToolhelpFunctions KernelToolhelpFunctions();
