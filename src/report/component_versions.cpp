#include "report/component_versions.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <stdexcept>

#include "logging/log_levels.h"
#include "registry/registry.h"
#include "report/report_environment.h"

namespace {

constexpr const char* kDriver = "ReportEnvironment::ReportEnvironmentVersions";
constexpr DWORD kPathChars = MAX_PATH;
constexpr DWORD kCatalogPathChars = 512;
constexpr DWORD kMaxCatalogEntries = 50;
constexpr int kDefaultCodePage = 1252;

struct XmlParser {
  const wchar_t* key;
  const wchar_t* displayName;
};

// Newest first: only the newest installed parser is reported.
constexpr XmlParser kXmlParsers[] = {
    {L"SOFTWARE\\Classes\\CLSID\\{88d96a06-f192-11d4-a65f-0040963251e5}\\InprocServer32",
     L"Microsoft XML Parser 6.0"},
    {L"SOFTWARE\\Classes\\CLSID\\{88d969c1-f192-11d4-a65f-0040963251e5}\\InprocServer32",
     L"Microsoft XML Parser 4.0"},
    {L"SOFTWARE\\Classes\\CLSID\\{f5078f33-c551-11d3-89b9-0000f81fe221}\\InprocServer32",
     L"Microsoft XML Parser 3.0"},
};

constexpr const wchar_t* kTcpIpProviderKey = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\ServiceProvider";
constexpr const wchar_t* kWinsockParametersKey = L"SYSTEM\\CurrentControlSet\\Services\\Winsock2\\Parameters";
constexpr const wchar_t* kDataAccessKey = L"SOFTWARE\\Microsoft\\DataAccess";
constexpr const wchar_t* kAdoKey = L"SOFTWARE\\Classes\\CLSID\\{00000507-0000-0010-8000-00AA006D2EA4}\\InprocServer32";

// Copies at most chars - 1 characters and always terminates.
void CopyCut(wchar_t* output, std::size_t chars, const wchar_t* text) {
  std::wcsncpy(output, text, chars - 1);
  output[chars - 1] = L'\0';
}

DWORD VersionResourceSize(const wchar_t* path) {
  DWORD ignored = 0;
  return ::GetFileVersionInfoSizeW(path, &ignored);
}

}  // namespace

bool GetModuleFileVersion(const wchar_t* path, FileVersion* version) {
  *version = FileVersion{};
  if (path == nullptr || path[0] == L'\0') return false;

  wchar_t file[kPathChars] = {};
  CopyCut(file, kPathChars, path);
  // A loaded module's own file, found without a path search.
  if (const HMODULE module = ::GetModuleHandleW(path)) {
    wchar_t loaded[kPathChars] = {};
    if (::GetModuleFileNameW(module, loaded, kPathChars) != 0) CopyCut(file, kPathChars, loaded);
  }

  DWORD size = VersionResourceSize(file);
  if (size == 0) {
    if (std::wcschr(file, L'%') == nullptr) return false;
    if (!ExpandPath(path, file, kPathChars)) return false;
    size = VersionResourceSize(file);
    if (size == 0) return false;
  }
  auto resource = std::make_unique<BYTE[]>(size);
  if (::GetFileVersionInfoW(file, 0, size, resource.get()) != TRUE) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedBytes = 0;
  if (::VerQueryValueW(resource.get(), L"\\", reinterpret_cast<void**>(&fixed), &fixedBytes) != TRUE ||
      fixed == nullptr || fixedBytes < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  version->major = HIWORD(fixed->dwFileVersionMS);
  version->minor = LOWORD(fixed->dwFileVersionMS);
  version->build = HIWORD(fixed->dwFileVersionLS);
  version->revision = LOWORD(fixed->dwFileVersionLS);
  return true;
}

bool ExpandPath(const wchar_t* source, wchar_t* output, DWORD outputChars) {
  if (source == nullptr || source[0] == L'\0' || output == nullptr) {
    if (output != nullptr && outputChars > 0) output[0] = L'\0';
    return false;
  }
  if (outputChars == 0) return false;

  wchar_t working[kPathChars] = {};
  CopyCut(working, kPathChars, source);
  if (std::wcschr(source, L'%') != nullptr) {
    wchar_t expanded[kPathChars] = {};
    const DWORD needed = ::ExpandEnvironmentStringsW(source, expanded, kPathChars - 1);
    // A result that does not fit is left unexpanded rather than cut.
    if (needed != 0 && needed <= kPathChars - 1) CopyCut(working, kPathChars, expanded);
  }
  if (working[0] == L'.') {
    const DWORD length = ::GetFullPathNameW(working, outputChars, output, nullptr);
    return length != 0 && length < outputChars;
  }
  CopyCut(output, outputChars, working);
  return true;
}

void ToUpperInCodePage(std::wstring& output, const std::wstring& input, int codePage) {
  output = input;
  const UINT page = codePage == -1 ? kDefaultCodePage : static_cast<UINT>(codePage);
  if (!::IsValidCodePage(page)) throw std::runtime_error("locale::facet::_S_create_c_locale name not valid");
  for (wchar_t& c : output) {
    wchar_t upper = c;
    if (::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_UPPERCASE, &c, 1, &upper, 1) == 1) {
      c = upper;
    } else {
      c = static_cast<wchar_t>(std::towupper(c));
    }
  }
}

void ReportEnvironment::ReportTcpIpProvider() {
  wchar_t path[kPathChars] = {};
  FileVersion version;
  bool found = false;
  {
    Registry provider(kTcpIpProviderKey, false, false);
    if (provider.Open(false) && provider.ReadString(L"ProviderPath", path, kPathChars)) {
      found = GetModuleFileVersion(path, &version);
    }
  }
  if (found) {
    WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] TCP/IP provider (Winsock) File Version: %d.%d.%d.%d (%s)",
              version.major, version.minor, version.build, version.revision, path);
  } else {
    WriteFixed(kLogInformation, kDriver, __LINE__,
               L"[ENV] Unable to find TCP/IP provider (Winsock) file or read its version information");
  }
}

void ReportEnvironment::ReportWinsockCatalog() {
  Registry parameters(kWinsockParametersKey, false, false);
  if (!parameters.Open(false)) return;
  wchar_t catalogName[256] = {};
  if (!parameters.ReadString(L"Current_NameSpace_Catalog", catalogName, 256)) return;

  wchar_t path[kCatalogPathChars] = {};
  ::_snwprintf(path, kCatalogPathChars - 1, L"%s\\%s\\Catalog_Entries", kWinsockParametersKey, catalogName);
  Registry catalog(path, false, false);
  if (!catalog.Open(false)) return;
  DWORD count = 0;
  if (!catalog.GetSubKeyCount(&count)) count = 0;
  count = std::min(count, kMaxCatalogEntries);

  for (DWORD index = 0; index < count; ++index) {
    std::wmemset(path, 0, kCatalogPathChars);
    if (!catalog.EnumKey(index, path, kCatalogPathChars, nullptr, 0)) continue;
    Registry entry(path, false, false);
    if (!entry.Open(false)) continue;
    wchar_t displayString[kPathChars] = {};
    wchar_t libraryPath[kPathChars] = {};
    if (!entry.ReadString(L"DisplayString", displayString, kPathChars) ||
        !entry.ReadString(L"LibraryPath", libraryPath, kPathChars)) {
      continue;
    }
    wchar_t expanded[kPathChars] = {};
    ExpandPath(libraryPath, expanded, kPathChars);
    FileVersion version;
    if (GetModuleFileVersion(expanded, &version)) {
      WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] Winsock2 file: %s, Version: %d.%d.%d.%d (%s)",
                displayString, version.major, version.minor, version.build, version.revision, expanded);
    } else {
      WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] Winsock2 file: %s (%s)", displayString, expanded);
    }
  }
}

void ReportEnvironment::ReportXmlParser() {
  for (const XmlParser& parser : kXmlParsers) {
    wchar_t path[kPathChars] = {};
    {
      Registry key(parser.key, false, false);
      if (!key.Open(false)) continue;
      key.ReadString(L"", path, kPathChars);
    }
    FileVersion version;
    if (GetModuleFileVersion(path, &version)) {
      WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] %s: %s, Version: %d.%d.%d.%d", parser.displayName, path,
                version.major, version.minor, version.build, version.revision);
      return;
    }
  }
  WriteFixed(kLogInformation, kDriver, __LINE__, L"[ENV] Unable to find Microsoft XML Parser Version information");
}

void ReportEnvironment::ReportSqlProviders(const std::vector<std::wstring>& providers) {
  for (const std::wstring& provider : providers) {
    std::wstring upper;
    ToUpperInCodePage(upper, provider, -1);
    // Every numbered native-client provider counts; a name with a blank is a
    // description, not a provider.
    if (upper.find(L"SQLNCLI") != std::wstring::npos && upper.find(L' ') == std::wstring::npos) {
      WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] SQLCLI provider is available: [%s]", upper.c_str());
    } else if (upper == L"SQLOLEDB") {
      WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] MSSQL OLEDB provider is available: [%s]", upper.c_str());
    }
  }
}

void ReportEnvironment::ReportDataAccessComponents() {
  Registry dataAccess(kDataAccessKey, false, false);
  if (!dataAccess.Open(false)) return;
  wchar_t version[256] = {};
  if (dataAccess.ReadString(L"FullInstallVer", version, 256)) {
    WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] MDAC version: %s", version);
  }
}

void ReportEnvironment::ReportAdoLibrary() {
  wchar_t path[kPathChars] = {};
  {
    Registry ado(kAdoKey, false, false);
    if (!ado.Open(false)) return;
    ado.ReadString(L"", path, kPathChars);
  }
  FileVersion version;
  if (GetModuleFileVersion(path, &version)) {
    WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] MSADO15.DLL: %s, Version: %d.%d.%d.%d", path,
              version.major, version.minor, version.build, version.revision);
  } else {
    WriteFixed(kLogInformation, kDriver, __LINE__, L"[ENV] Unable to find MSADO15.DLL Version information");
  }
}
