#include "support/test_enumerator.h"

#include "support/child_process.h"

namespace {

constexpr const wchar_t* kClassKeyPath = L"Software\\Classes\\CLSID\\{C8B522D0-5CF3-11CE-ADE5-00AA0044773D}";
constexpr const wchar_t* kServerFile = L"varrowmere_test_enumerator.dll";

}  // namespace

TestEnumeratorRegistration::TestEnumeratorRegistration(const std::vector<std::wstring>& rows)
    : classKey_(kClassKeyPath) {
  std::wstring names;
  for (const std::wstring& row : rows) names += row + L'\0';
  names += L'\0';
  registered_ = classKey_.SetValue(nullptr, L"SourceNames", REG_MULTI_SZ, names.data(),
                                   static_cast<DWORD>(names.size() * sizeof(wchar_t))) &&
                classKey_.SetText(L"InprocServer32", nullptr, ProgramBesideMe(kServerFile)) &&
                classKey_.SetText(L"InprocServer32", L"ThreadingModel", L"Both");
}

void TestEnumeratorRegistration::FailGetSourcesRowset(HRESULT result) {
  classKey_.SetDword(nullptr, L"GetSourcesRowsetResult", static_cast<DWORD>(result));
}

bool TestEnumeratorRegistration::ServerHoldsNothing() {
  const HMODULE server = ::GetModuleHandleW(ProgramBesideMe(kServerFile).c_str());
  if (server == nullptr) return true;  // never loaded, or already unloaded
  using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
  const auto canUnloadNow =
      reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(::GetProcAddress(server, "DllCanUnloadNow")));
  return canUnloadNow != nullptr && canUnloadNow() == S_OK;
}
