// An in-process COM server that plays the OLE DB root enumerator, which Wine does not
// have: its sources rowset holds the rows the test chose, read at each GetSourcesRowset
// from the "SourceNames" value (REG_MULTI_SZ) of the class key it is registered under.
// A "GetSourcesRowsetResult" value (REG_DWORD) makes GetSourcesRowset fail with it.
//
// DllCanUnloadNow answers S_OK only when every object, accessor and row handle it gave
// out has been released again, so a test can tell that its consumer cleaned up.

#include <windows.h>

#include <oledb.h>
#include <oledberr.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr GUID kEnumeratorClass = {0xC8B522D0, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
constexpr GUID kSourcesRowsetInterface = {
    0x0C733A1E, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
constexpr GUID kRowsetInterface = {0x0C733A7C, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
constexpr GUID kAccessorInterface = {0x0C733A8C, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
constexpr const wchar_t* kClassKey = L"CLSID\\{C8B522D0-5CF3-11CE-ADE5-00AA0044773D}";

// Objects, accessors and row references given out and not yet released.
LONG g_outstanding = 0;
void Acquired() { ::InterlockedIncrement(&g_outstanding); }
void Released() { ::InterlockedDecrement(&g_outstanding); }

struct ServerSettings {
  std::vector<std::wstring> rows;
  HRESULT getSourcesRowsetResult = S_OK;
};

ServerSettings ReadSettings() {
  ServerSettings settings;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return settings;
  DWORD bytes = 0;
  if (::RegQueryValueExW(key, L"SourceNames", nullptr, nullptr, nullptr, &bytes) == ERROR_SUCCESS && bytes > 0) {
    std::vector<wchar_t> names(bytes / sizeof(wchar_t) + 2, L'\0');
    if (::RegQueryValueExW(key, L"SourceNames", nullptr, nullptr, reinterpret_cast<BYTE*>(names.data()), &bytes) ==
        ERROR_SUCCESS) {
      for (const wchar_t* name = names.data(); *name != L'\0'; name += std::wcslen(name) + 1) {
        settings.rows.emplace_back(name);
      }
    }
  }
  DWORD result = 0;
  bytes = sizeof(result);
  if (::RegQueryValueExW(key, L"GetSourcesRowsetResult", nullptr, nullptr, reinterpret_cast<BYTE*>(&result),
                         &bytes) == ERROR_SUCCESS) {
    settings.getSourcesRowsetResult = static_cast<HRESULT>(result);
  }
  ::RegCloseKey(key);
  return settings;
}

// Reference counting shared by every object of the server.
template <typename Derived>
class RefCounted {
 public:
  RefCounted() { Acquired(); }
  virtual ~RefCounted() { Released(); }

 protected:
  ULONG AddRefImpl() { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
  ULONG ReleaseImpl() {
    const LONG left = ::InterlockedDecrement(&references_);
    if (left == 0) delete static_cast<Derived*>(this);
    return static_cast<ULONG>(left);
  }

 private:
  LONG references_ = 1;
};

// The rowset: one row per chosen name, with the root enumerator's five columns.
class SourcesRowset final : public IRowset, public IAccessor, public RefCounted<SourcesRowset> {
 public:
  // Row handles and accessors still held when the rowset goes stay counted: a consumer
  // that forgets them shows in DllCanUnloadNow.
  explicit SourcesRowset(std::vector<std::wstring> rows) : rows_(std::move(rows)), rowReferences_(rows_.size(), 0) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == kRowsetInterface) {
      *object = static_cast<IRowset*>(this);
    } else if (iid == kAccessorInterface) {
      *object = static_cast<IAccessor*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRefImpl();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

  // IRowset
  HRESULT STDMETHODCALLTYPE AddRefRows(DBCOUNTITEM count, const HROW rows[], DBREFCOUNT references[],
                                       DBROWSTATUS statuses[]) override {
    return ChangeRows(count, rows, references, statuses, +1);
  }
  HRESULT STDMETHODCALLTYPE GetData(HROW row, HACCESSOR accessor, void* data) override {
    if (!IsLiveRow(row)) return DB_E_BADROWHANDLE;
    if (accessor == 0 || accessor > accessors_.size() || !accessors_[accessor - 1].live) {
      return DB_E_BADACCESSORHANDLE;
    }
    if (data == nullptr) return E_INVALIDARG;
    const std::wstring& name = rows_[row - 1];
    for (const DBBINDING& binding : accessors_[accessor - 1].bindings) {
      BYTE* value = static_cast<BYTE*>(data) + binding.obValue;
      switch (binding.iOrdinal) {
        case 1: WriteText(value, binding, name); break;
        case 2: WriteText(value, binding, name + L"-parse"); break;
        case 3: WriteText(value, binding, L"test source " + name); break;
        case 4: WriteShort(value, binding, DBSOURCETYPE_DATASOURCE); break;
        case 5: WriteShort(value, binding, 0); break;
        default: return DB_E_ERRORSOCCURRED;
      }
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextRows(HCHAPTER, DBROWOFFSET skip, DBROWCOUNT count, DBCOUNTITEM* obtained,
                                        HROW** rows) override {
    if (obtained == nullptr || rows == nullptr) return E_INVALIDARG;
    *obtained = 0;
    if (skip < 0 || count < 0) return DB_E_CANTFETCHBACKWARDS;
    next_ += static_cast<std::size_t>(skip);
    if (next_ >= rows_.size()) return DB_S_ENDOFROWSET;
    const std::size_t take = std::min(static_cast<std::size_t>(count), rows_.size() - next_);
    if (*rows == nullptr) {
      *rows = static_cast<HROW*>(::CoTaskMemAlloc(take * sizeof(HROW)));
      if (*rows == nullptr) return E_OUTOFMEMORY;
    }
    for (std::size_t n = 0; n < take; ++n) {
      (*rows)[n] = next_ + 1;
      ++rowReferences_[next_];
      Acquired();
      ++next_;
    }
    *obtained = take;
    return take == static_cast<std::size_t>(count) ? S_OK : DB_S_ENDOFROWSET;
  }
  HRESULT STDMETHODCALLTYPE ReleaseRows(DBCOUNTITEM count, const HROW rows[], DBROWOPTIONS[], DBREFCOUNT references[],
                                        DBROWSTATUS statuses[]) override {
    return ChangeRows(count, rows, references, statuses, -1);
  }
  HRESULT STDMETHODCALLTYPE RestartPosition(HCHAPTER) override {
    next_ = 0;
    return S_OK;
  }

  // IAccessor
  HRESULT STDMETHODCALLTYPE AddRefAccessor(HACCESSOR, DBREFCOUNT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[],
                                           DBLENGTH, HACCESSOR* accessor, DBBINDSTATUS[]) override {
    if (accessor == nullptr || (count > 0 && bindings == nullptr)) return E_INVALIDARG;
    *accessor = 0;
    if ((flags & DBACCESSOR_ROWDATA) == 0) return DB_E_BADACCESSORFLAGS;
    accessors_.push_back({std::vector<DBBINDING>(bindings, bindings + count), true});
    Acquired();
    *accessor = accessors_.size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindings(HACCESSOR, DBACCESSORFLAGS*, DBCOUNTITEM*, DBBINDING**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ReleaseAccessor(HACCESSOR accessor, DBREFCOUNT* left) override {
    if (accessor == 0 || accessor > accessors_.size() || !accessors_[accessor - 1].live) {
      return DB_E_BADACCESSORHANDLE;
    }
    accessors_[accessor - 1].live = false;
    Released();
    if (left != nullptr) *left = 0;
    return S_OK;
  }

 private:
  struct Accessor {
    std::vector<DBBINDING> bindings;
    bool live;
  };

  bool IsLiveRow(HROW row) const { return row != 0 && row <= rows_.size() && rowReferences_[row - 1] > 0; }

  HRESULT ChangeRows(DBCOUNTITEM count, const HROW rows[], DBREFCOUNT references[], DBROWSTATUS statuses[],
                     int change) {
    bool allGood = true;
    for (DBCOUNTITEM n = 0; n < count; ++n) {
      const bool good = IsLiveRow(rows[n]);
      if (good) {
        rowReferences_[rows[n] - 1] += change;
        change > 0 ? Acquired() : Released();
      }
      allGood = allGood && good;
      if (references != nullptr) references[n] = good ? rowReferences_[rows[n] - 1] : 0;
      if (statuses != nullptr) statuses[n] = good ? DBROWSTATUS_S_OK : DBROWSTATUS_E_INVALID;
    }
    return allGood ? S_OK : DB_E_ERRORSOCCURRED;
  }

  // As a provider does: the value cut to what the binding holds, always terminated.
  static void WriteText(BYTE* value, const DBBINDING& binding, const std::wstring& text) {
    if (binding.wType != DBTYPE_WSTR || binding.cbMaxLen < sizeof(wchar_t)) return;
    const std::size_t chars = std::min<std::size_t>(text.size(), binding.cbMaxLen / sizeof(wchar_t) - 1);
    std::memcpy(value, text.data(), chars * sizeof(wchar_t));
    std::memset(value + chars * sizeof(wchar_t), 0, sizeof(wchar_t));
  }
  static void WriteShort(BYTE* value, const DBBINDING& binding, unsigned short number) {
    if ((binding.wType == DBTYPE_UI2 || binding.wType == DBTYPE_I2) && binding.cbMaxLen >= 2) {
      std::memcpy(value, &number, sizeof(number));
    }
  }

  std::vector<std::wstring> rows_;
  std::vector<LONG> rowReferences_;
  std::size_t next_ = 0;
  std::vector<Accessor> accessors_;
};

class Enumerator final : public ISourcesRowset, public RefCounted<Enumerator> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid != IID_IUnknown && iid != kSourcesRowsetInterface) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<ISourcesRowset*>(this);
    AddRefImpl();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

  HRESULT STDMETHODCALLTYPE GetSourcesRowset(IUnknown* outer, REFIID iid, ULONG, DBPROPSET[],
                                             IUnknown** rowset) override {
    if (rowset == nullptr) return E_INVALIDARG;
    *rowset = nullptr;
    if (outer != nullptr) return DB_E_NOAGGREGATION;
    ServerSettings settings = ReadSettings();
    if (FAILED(settings.getSourcesRowsetResult)) return settings.getSourcesRowsetResult;
    auto* created = new (std::nothrow) SourcesRowset(std::move(settings.rows));
    if (created == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = created->QueryInterface(iid, reinterpret_cast<void**>(rowset));
    created->Release();
    return result;
  }
};

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  // The factory is static; only LockServer holds the server for it.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* created = new (std::nothrow) Enumerator;
    if (created == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = created->QueryInterface(iid, object);
    created->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? Acquired() : Released();
    return S_OK;
  }
};

ClassFactory g_factory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID classId, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (classId != kEnumeratorClass) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, object);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return g_outstanding == 0 ? S_OK : S_FALSE;
}
