#pragma once

#include <windows.h>

#include <string>

// The four parts of a file version, as the fixed file information of its version
// resource holds them.
struct FileVersion {
  unsigned major = 0;
  unsigned minor = 0;
  unsigned build = 0;
  unsigned revision = 0;
};

// The version of a file named by a path, or by the name of a module the process has
// loaded (whose own file is read then). A path with environment references is expanded
// when the path as given has no version. False, with all four parts 0, when no version
// resource could be read.
bool GetModuleFileVersion(const wchar_t* path, FileVersion* version);

// The source with its environment references expanded, and made absolute when it
// starts with a full stop. An empty source, or a null one, stores an empty output and
// answers false.
bool ExpandPath(const wchar_t* source, wchar_t* output, DWORD outputChars);

// The upper-case copy of the input, in the user's language, for the ANSI code page
// codePage (-1 stands for 1252). A code page the system does not know throws
// std::runtime_error, as a standard library refuses a locale it does not know.
void ToUpperInCodePage(std::wstring& output, const std::wstring& input, int codePage);
