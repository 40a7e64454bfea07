#include "report/report_environment.h"

#include <winsock2.h>

#include <cstring>
#include <cwchar>
#include <memory>

#include "com/provider_list.h"
#include "diagnostics/system_error_text.h"
#include "logging/log_levels.h"
#include "logging/logging_calls.h"
#include "win32/unique_socket.h"

namespace {

constexpr const char* kDriver = "ReportEnvironment::ReportEnvironmentVersions";
constexpr const char* kServiceInfo = "ReportEnvironment::GetServiceInfo";

// Every report line passes the same capture block, which a fallback trace sink may fill.
CaptureBlock g_reportCaptureBlock;

std::wstring ErrorText(DWORD code) { return SystemErrorText(code, kUserDefaultLanguage).c_str(); }

}  // namespace

CaptureBlock* ReportCaptureBlock() noexcept { return &g_reportCaptureBlock; }

ReportEnvironment::ReportEnvironment(ReportLineSink sink) : sink_(sink), startTime_(::_time64(nullptr)) {}

void ReportEnvironment::WriteLine(int level, const char* function, int sourceLine, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  SendReportLineV(sink_, &g_reportCaptureBlock, kLineBufferChars, level, function, sourceLine, format, args);
  va_end(args);
}

void ReportEnvironment::WriteFixed(int level, const char* function, int sourceLine, const wchar_t* text) {
  SendReportText(sink_, &g_reportCaptureBlock, level, function, sourceLine, text);
}

void ReportEnvironment::GetServiceInfo(std::wstring* imagePath, std::wstring* account) {
  wchar_t image[MAX_PATH + 1] = {};
  if (::GetModuleFileNameW(nullptr, image, MAX_PATH) == 0) {
    const DWORD error = ::GetLastError();
    WriteLine(kLogWarning, kServiceInfo, __LINE__, L"%s", Win32CallError(L"GetModuleFileNameW", error).c_str());
    return;
  }
  *imagePath = image;

  HANDLE rawToken = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
    const DWORD error = ::GetLastError();
    WriteLine(kLogError, kServiceInfo, __LINE__, L"%s", Win32CallError(L"OpenProcessToken", error).c_str());
    return;
  }
  UniqueHandle token(rawToken);

  DWORD needed = 0xFFFFFFFF;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed);
  if (needed == 0 || needed == 0xFFFFFFFF) {
    const DWORD error = ::GetLastError();
    WriteLine(kLogError, kServiceInfo, __LINE__, L"%s", Win32CallError(L"GetTokenInformation", error).c_str());
    return;
  }
  auto buffer = std::make_unique<unsigned char[]>(needed);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer.get(), needed, &needed)) {
    const DWORD error = ::GetLastError();
    WriteLine(kLogError, kServiceInfo, __LINE__, L"%s", Win32CallError(L"GetTokenInformation", error).c_str());
    return;
  }

  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.get());
  wchar_t name[1024] = {};
  wchar_t domain[1024] = {};
  DWORD nameChars = 1024;
  DWORD domainChars = 1024;
  SID_NAME_USE use{};
  if (!::LookupAccountSidW(nullptr, user->User.Sid, name, &nameChars, domain, &domainChars, &use)) {
    const DWORD error = ::GetLastError();
    WriteLine(kLogError, kServiceInfo, __LINE__, L"%s", Win32CallError(L"LookupAccountSid", error).c_str());
    return;
  }
  wchar_t joined[2048] = {};
  ::_snwprintf(joined, 2047, L"%s\\%s", domain, name);
  *account = joined;
}

void ReportEnvironment::WriteNetworkAddresses() {
  // The host name and its addresses need the socket library started: started here for
  // these steps and ended after them; the library counts its users, so a process that
  // started it itself keeps it.
  const SocketLibrary winsock;
  char host[256] = {};
  if (::gethostname(host, 255) != 0) {
    // Also the answer when the process has not started the socket library.
    WriteFixed(kLogInformation, kDriver, __LINE__, L"[ENV] Unable to provide HostName ");
    return;
  }
  const hostent* entry = ::gethostbyname(host);
  if (entry == nullptr) {
    const DWORD error = ::GetLastError();
    WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] HOSTINFO_ERROR : %s (%d)", ErrorText(error).c_str(),
              static_cast<int>(error));
    return;
  }
  for (char** address = entry->h_addr_list; address != nullptr && *address != nullptr; ++address) {
    in_addr ipv4;
    std::memcpy(&ipv4, *address, sizeof(ipv4));
    wchar_t dotted[MAX_PATH] = {};
    ::MultiByteToWideChar(CP_ACP, 0, ::inet_ntoa(ipv4), -1, dotted, MAX_PATH);
    WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] Local machine IP Address = %s", dotted);
  }
}

void ReportEnvironment::ReportEnvironmentVersions() {
  wchar_t startText[128] = {};
  __time64_t start = startTime_;
  if (const tm* local = ::_localtime64(&start)) ::wcsftime(startText, 127, L"%b %d %Y %H:%M:%S", local);
  const double seconds = ::_difftime64(::_time64(nullptr), startTime_);

  {
    std::wstring imagePath;
    std::wstring account;
    GetServiceInfo(&imagePath, &account);
    WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] Current Process: %s", imagePath.c_str());
    WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] Current Process logged on as: %s, Start Time: %s, Uptime (seconds): %.f",
              account.c_str(), startText, seconds);
    WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] Current Process id: %d",
              static_cast<int>(::GetCurrentProcessId()));
  }

  wchar_t hostName[256] = {};
  DWORD hostChars = 255;
  if (!::GetComputerNameExW(ComputerNameDnsHostname, hostName, &hostChars)) {
    std::wcscpy(hostName, L"Unknown");
  }

  OSVERSIONINFOEXA extended{};
  extended.dwOSVersionInfoSize = sizeof(extended);
  if (::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended))) {
    WriteLine(kLogInformation, kDriver, __LINE__,
              L"[ENV] Computer Host Name: %s, OS Version: %d.%d, Build number %d, ServicePack Major %d, ServicePack Minor %d",
              hostName, static_cast<int>(extended.dwMajorVersion), static_cast<int>(extended.dwMinorVersion),
              static_cast<int>(extended.dwBuildNumber), static_cast<int>(extended.wServicePackMajor),
              static_cast<int>(extended.wServicePackMinor));
  } else {
    OSVERSIONINFOA basic{};
    basic.dwOSVersionInfoSize = sizeof(basic);
    if (::GetVersionExA(&basic)) {
      WriteLine(kLogInformation, kDriver, __LINE__, L"[ENV] Computer Host Name: %s, OS Version: %d.%d, Build number %d",
                hostName, static_cast<int>(basic.dwMajorVersion), static_cast<int>(basic.dwMinorVersion),
                static_cast<int>(basic.dwBuildNumber));
    }
  }

  ReportSystemInfo();
  ReportTcpIpProvider();
  WriteNetworkAddresses();
  ReportWinsockCatalog();
  ReportXmlParser();
  ReportSqlProviders(provider_list(sink_));
  ReportDataAccessComponents();
  ReportAdoLibrary();
  ReportCurrentProcesses();
}
