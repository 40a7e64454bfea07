#include "registry/registry.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>

#include "text/code_page.h"

namespace {

constexpr REGSAM kReadAccess = KEY_READ;                                        // 0x20019
constexpr REGSAM kWriteAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;  // 0x2001F
constexpr REGSAM kCreateAccess = KEY_ALL_ACCESS;                                // 0xF003F
constexpr std::int32_t kView64 = 2;

// Key names are at most 255 characters; one more for the terminator, and one the
// enumeration forces to zero.
constexpr DWORD kKeyNameChars = 261;
constexpr DWORD kSubKeyPathBytes = 260;
// Value names of up to 255 characters (256 offered, terminator included) enter the set.
constexpr DWORD kValueNameBufferBytes = 257;
constexpr DWORD kValueNameOfferedChars = 256;
constexpr DWORD kStackReadBytes = 1024;

std::string ToAnsiCodePage(const wchar_t* text) {
  if (text == nullptr) return {};
  const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string narrow(static_cast<std::size_t>(bytes), '\0');
  if (WideToNarrowInto(narrow.data(), text, bytes, CP_ACP) == nullptr) return {};
  narrow.resize(static_cast<std::size_t>(bytes) - 1);
  return narrow;
}

std::wstring FromAnsiCodePage(const std::string& text) {
  const int chars = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (chars <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(chars), L'\0');
  if (NarrowToWideInto(wide.data(), text.c_str(), chars, CP_ACP) == nullptr) return {};
  wide.resize(static_cast<std::size_t>(chars) - 1);
  return wide;
}

// Copies at most `chars` characters and terminates the output at its last character.
template <typename Char>
void CopyCut(Char* output, DWORD chars, const Char* text) {
  DWORD at = 0;
  for (; at < chars && text[at] != 0; ++at) output[at] = text[at];
  if (at < chars) output[at] = 0;
  output[chars - 1] = 0;
}

// Whether the full name joins path and sub-key name directly: the path already ends
// with a backslash, or there is no path (a key opened at the root itself).
bool JoinsDirectly(const std::string& path) { return path.empty() || path.back() == '\\'; }

}  // namespace

bool IsWow64() noexcept {
  using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = ::GetModuleHandleA("kernel32");
  if (kernel == nullptr) return false;
  const auto isWow64Process =
      reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")));
  if (isWow64Process == nullptr) return false;
  BOOL wow64 = FALSE;
  if (!isWow64Process(::GetCurrentProcess(), &wow64)) return false;
  return wow64 != FALSE;
}

Registry::Registry(bool valueNameFilter) : root_(HKEY_LOCAL_MACHINE), valueNameFilter_(valueNameFilter) {}

Registry::Registry(HKEY root, const char* path, bool valueNameFilter)
    : path_(path != nullptr ? path : ""), root_(root), valueNameFilter_(valueNameFilter) {}

Registry::Registry(const wchar_t* path, bool currentUser, bool valueNameFilter)
    : path_(ToAnsiCodePage(path)),
      root_(currentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE),
      valueNameFilter_(valueNameFilter) {}

REGSAM Registry::OpenAccess(bool write) const {
  REGSAM access = write ? kWriteAccess : kReadAccess;
  if (view_ == kView64 && IsWow64()) access |= KEY_WOW64_64KEY;
  return access;
}

bool Registry::Open(bool write) {
  lastError_ = ERROR_SUCCESS;
  if (key_) return true;
  HKEY key = nullptr;
  const LONG status = ::RegOpenKeyExA(root_, path_.c_str(), 0, OpenAccess(write), &key);
  if (status != ERROR_SUCCESS) return Fail(status);
  key_.reset(key);
  if (valueNameFilter_) LoadValueNames();
  return true;
}

bool Registry::Open(const wchar_t* path, bool write) {
  lastError_ = ERROR_SUCCESS;
  if (key_) return false;
  path_ = ToAnsiCodePage(path);
  return Open(write);
}

bool Registry::Create(const wchar_t* path) {
  lastError_ = ERROR_SUCCESS;
  if (key_) return false;
  path_ = ToAnsiCodePage(path);
  const REGSAM access = view_ == kView64 && IsWow64() ? kCreateAccess | KEY_WOW64_64KEY : kCreateAccess;
  HKEY key = nullptr;
  const LONG status = ::RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                        nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return Fail(status);
  key_.reset(key);
  return true;
}

LONG Registry::Close() {
  if (!key_) return ERROR_SUCCESS;
  return ::RegCloseKey(key_.release());
}

bool Registry::OpenSubKey(DWORD index, Registry& child) {
  child.Close();
  child.root_ = root_;
  child.path_.clear();
  char fullName[kSubKeyPathBytes] = {};
  if (!EnumKeyA(index, fullName, kSubKeyPathBytes, nullptr, 0)) return false;
  child.path_ = fullName;
  return child.Open(false);
}

bool Registry::BeginRead(const wchar_t* name) {
  lastError_ = ERROR_SUCCESS;
  if (!key_) return false;
  return !valueNameFilter_ || HasValue(name);
}

bool Registry::ReadString(const wchar_t* name, wchar_t* output, DWORD outputChars) {
  if (!BeginRead(name)) return false;
  // Without room for at least the terminator there is nothing to cut the text to.
  if (output == nullptr || outputChars == 0) return Fail(ERROR_INVALID_PARAMETER);

  // One character more than the query may fill, so the text is terminated even when the
  // stored value is not.
  wchar_t onStack[kStackReadBytes / sizeof(wchar_t) + 1] = {};
  std::unique_ptr<wchar_t[]> onHeap;
  wchar_t* text = onStack;
  DWORD bytes = kStackReadBytes;
  if (static_cast<std::uint64_t>(outputChars) * sizeof(wchar_t) > kStackReadBytes) {
    onHeap = std::make_unique<wchar_t[]>(static_cast<std::size_t>(outputChars) + 1);
    text = onHeap.get();
    bytes = static_cast<DWORD>(std::min<std::uint64_t>(std::uint64_t{outputChars} * sizeof(wchar_t), MAXDWORD));
  }
  DWORD type = REG_NONE;
  const LONG status = ::RegQueryValueExW(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
  if (status != ERROR_SUCCESS) return Fail(status);

  if (type == REG_EXPAND_SZ) {
    const DWORD needed = ::ExpandEnvironmentStringsW(text, output, outputChars);
    if (needed == 0) {
      CopyCut(output, outputChars, text);
    } else if (needed > outputChars) {
      // The system leaves a too-small output undefined; cut the expansion instead.
      auto expanded = std::make_unique<wchar_t[]>(needed);
      if (::ExpandEnvironmentStringsW(text, expanded.get(), needed) == needed) {
        CopyCut(output, outputChars, expanded.get());
      } else {
        CopyCut(output, outputChars, text);
      }
    }
    return true;
  }
  if (type == REG_SZ) {
    CopyCut(output, outputChars, text);
    return true;
  }
  return false;
}

bool Registry::ReadDword(const wchar_t* name, DWORD* output) {
  if (!BeginRead(name)) return false;
  if (output == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  DWORD value = 0;
  DWORD bytes = sizeof(value);
  DWORD type = REG_NONE;
  const LONG status = ::RegQueryValueExW(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes);
  if (status != ERROR_SUCCESS) return Fail(status);
  if (type != REG_DWORD) return false;
  *output = value;
  return true;
}

bool Registry::ReadDword(const wchar_t* name, DWORD* output, DWORD defaultValue) {
  if (ReadDword(name, output)) return true;
  if (output != nullptr) *output = defaultValue;
  return false;
}

bool Registry::ReadBool(const wchar_t* name, bool* output) {
  DWORD value = 0;
  if (!ReadDword(name, &value)) return false;
  if (output != nullptr) *output = value != 0;
  return true;
}

bool Registry::ReadBool(const wchar_t* name, bool* output, bool defaultValue) {
  if (ReadBool(name, output)) return true;
  if (output != nullptr) *output = defaultValue;
  return false;
}

bool Registry::GetSubKeyCount(DWORD* output) {
  lastError_ = ERROR_SUCCESS;
  if (!key_ || output == nullptr) return false;
  *output = 0;
  const LONG status = ::RegQueryInfoKeyA(key_.get(), nullptr, nullptr, nullptr, output, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return Fail(status);
  return true;
}

const char* Registry::GetKeyName() const {
  if (path_.empty()) return nullptr;
  const std::size_t slash = path_.rfind('\\');
  return path_.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

bool Registry::HasValue(const char* name) const {
  return name != nullptr && valueNames_.count(name) != 0;
}

bool Registry::HasValue(const wchar_t* name) const {
  return name != nullptr && valueNames_.count(ToAnsiCodePage(name)) != 0;
}

bool Registry::WriteString(const wchar_t* name, const wchar_t* text) {
  lastError_ = ERROR_SUCCESS;
  if (text == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
  const LONG status = ::RegSetValueExW(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
  if (status != ERROR_SUCCESS) return Fail(status);
  return true;
}

bool Registry::WriteDword(const wchar_t* name, DWORD value) {
  lastError_ = ERROR_SUCCESS;
  const LONG status =
      ::RegSetValueExW(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  if (status != ERROR_SUCCESS) return Fail(status);
  return true;
}

bool Registry::EnumKey(DWORD index, wchar_t* fullName, DWORD fullNameChars, wchar_t* name, DWORD nameChars) {
  lastError_ = ERROR_SUCCESS;
  wchar_t subKey[kKeyNameChars] = {};
  const LONG status = ::RegEnumKeyW(key_.get(), index, subKey, kKeyNameChars);
  if (status != ERROR_SUCCESS) return Fail(status);
  subKey[kKeyNameChars - 1] = L'\0';
  if (name != nullptr && nameChars > 0) CopyCut(name, nameChars, subKey);
  if (fullName != nullptr && fullNameChars > 0) {
    const std::wstring path = FromAnsiCodePage(path_);
    _snwprintf(fullName, fullNameChars, JoinsDirectly(path_) ? L"%s%s" : L"%s\\%s", path.c_str(), subKey);
    fullName[fullNameChars - 1] = L'\0';
  }
  return true;
}

bool Registry::EnumKeyA(DWORD index, char* fullName, DWORD fullNameBytes, char* name, DWORD nameBytes) {
  lastError_ = ERROR_SUCCESS;
  if (fullName == nullptr || fullNameBytes == 0) return false;
  char subKey[kKeyNameChars] = {};
  const LONG status = ::RegEnumKeyA(key_.get(), index, subKey, kKeyNameChars);
  if (status != ERROR_SUCCESS) return Fail(status);
  subKey[kKeyNameChars - 1] = '\0';
  if (name != nullptr && nameBytes > 0) CopyCut(name, nameBytes, subKey);
  _snprintf(fullName, fullNameBytes, JoinsDirectly(path_) ? "%s%s" : "%s\\%s", path_.c_str(), subKey);
  fullName[fullNameBytes - 1] = '\0';
  return true;
}

LONG Registry::LoadValueNames() {
  if (!key_) return ERROR_SUCCESS;
  valueNames_.clear();
  for (DWORD index = 0;; ++index) {
    char name[kValueNameBufferBytes] = {};
    DWORD chars = kValueNameOfferedChars;
    const LONG status = ::RegEnumValueA(key_.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return status;
    name[chars < kValueNameOfferedChars ? chars : kValueNameOfferedChars] = '\0';
    valueNames_.insert(name);
  }
}
