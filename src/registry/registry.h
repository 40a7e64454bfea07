#pragma once

#include <windows.h>

#include <cstdint>
#include <set>
#include <string>

#include "win32/unique_resource.h"

// True when this is a 32-bit process on 64-bit Windows. Every problem (no
// IsWow64Process, a failing call) answers false. Any thread may call it.
bool IsWow64() noexcept;

// One registry key, named by a root key and a path below it. The path is narrow text in
// the system ANSI code page and the key is opened with the narrow calls; values are read
// and written with the wide calls. Operations answer true or false; those that reach the
// registry clear lastError() on entry and leave there the system's status of a failed
// call. With the value-name filter set, Open loads the names of all values, and a read
// of a name that is not among them fails at once, without a query (lastError() stays 0).
//
// An object belongs to one thread; nothing is locked.
class Registry {
 public:
  // Root HKEY_LOCAL_MACHINE, empty path.
  explicit Registry(bool valueNameFilter = false);
  Registry(HKEY root, const char* path, bool valueNameFilter);
  // Root HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE; the path converted to the ANSI code
  // page (empty when it does not convert).
  Registry(const wchar_t* path, bool currentUser, bool valueNameFilter);
  virtual ~Registry() { Close(); }
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Opens the path for reading, or also for setting values and creating sub-keys. An
  // object that is already open stays as it is and answers true.
  bool Open(bool write);
  // Replaces the path and opens it. An object that is already open answers false.
  bool Open(const wchar_t* path, bool write);
  // Replaces the path and creates (or opens) the key with all access. An object that is
  // already open answers false. Value names are not loaded.
  bool Create(const wchar_t* path);
  // The system's result of closing, or 0 when nothing was open.
  LONG Close();
  // Opens `child` for reading on this key's sub-key number `index` (full path).
  bool OpenSubKey(DWORD index, Registry& child);

  // A REG_SZ or REG_EXPAND_SZ value (the latter with environment references expanded),
  // cut to outputChars - 1 characters and always terminated. The value is read into a
  // 1024-byte buffer, or into one of 2 * outputChars bytes when that is larger, so a
  // value longer than that fails with ERROR_MORE_DATA. A value of another type answers
  // false with lastError() 0; an empty or missing output answers false with
  // ERROR_INVALID_PARAMETER.
  bool ReadString(const wchar_t* name, wchar_t* output, DWORD outputChars);
  // A REG_DWORD value; another type answers false (lastError() 0 when the value fits in
  // four bytes, else ERROR_MORE_DATA). The forms with a default store it on false.
  bool ReadDword(const wchar_t* name, DWORD* output);
  bool ReadDword(const wchar_t* name, DWORD* output, DWORD defaultValue);
  bool ReadBool(const wchar_t* name, bool* output);
  bool ReadBool(const wchar_t* name, bool* output, bool defaultValue);
  // The number of sub-keys. False, with the output untouched, when no key is open.
  bool GetSubKeyCount(DWORD* output);

  // The last part of the path (after its last backslash), or null for an empty path. It
  // lives in this object.
  const char* GetKeyName() const;
  // Whether the loaded value names hold the name, compared without regard to case.
  bool HasValue(const char* name) const;
  bool HasValue(const wchar_t* name) const;

  // A REG_SZ value whose stored size counts the terminating zero.
  bool WriteString(const wchar_t* name, const wchar_t* text);
  bool WriteDword(const wchar_t* name, DWORD value);

  // The name of sub-key number `index` and its full path (this key's path, one
  // backslash, the name). Either output may be null or of size 0; both are cut to their
  // size and terminated.
  bool EnumKey(DWORD index, wchar_t* fullName, DWORD fullNameChars, wchar_t* name, DWORD nameChars);
  // The narrow form. The full-name output is required.
  bool EnumKeyA(DWORD index, char* fullName, DWORD fullNameBytes, char* name, DWORD nameBytes);

  // Reloads the value names (names longer than 255 characters are left out). Answers
  // the status that ended the enumeration (ERROR_NO_MORE_ITEMS when it ran to the end),
  // or 0 when no key is open.
  LONG LoadValueNames();

  LONG LastError() const noexcept { return lastError_; }
  HKEY Key() const noexcept { return key_.get(); }
  HKEY Root() const noexcept { return root_; }
  const std::string& Path() const noexcept { return path_; }
  bool ValueNameFilter() const noexcept { return valueNameFilter_; }

 private:
  struct CaseInsensitiveLess {
    bool operator()(const std::string& left, const std::string& right) const noexcept {
      return _stricmp(left.c_str(), right.c_str()) < 0;
    }
  };

  // Clears lastError() and says whether a read may go on: a key is open and, with the
  // filter set, the value name is known.
  bool BeginRead(const wchar_t* name);
  bool Fail(LONG status) noexcept {
    lastError_ = status;
    return false;
  }
  REGSAM OpenAccess(bool write) const;

  std::string path_;
  HKEY root_;
  UniqueRegistryKey key_;
  bool valueNameFilter_;
  // 2 asks a 32-bit process on 64-bit Windows for the 64-bit view of the registry.
  // Nothing in this program changes it.
  std::int32_t view_ = 0;
  std::set<std::string, CaseInsensitiveLess> valueNames_;
  LONG lastError_ = ERROR_SUCCESS;
};
