#include "com/provider_list.h"

#include <oledb.h>
#include <oledberr.h>

#include <cstring>
#include <cwchar>

#include "com/com_initializer.h"
#include "com/com_interface.h"
#include "logging/log_levels.h"

namespace {

constexpr const char* kProviderList = "provider_list";
constexpr int kLineChars = 2048;

// Each call's lines pass this block, apart from the environment report's.
CaptureBlock g_enumerationCaptureBlock;

// One row of the sources rowset, bound by column ordinal, values only: the source name
// (the only column kept), its parse name and description, its type and whether it is a
// parent enumerator.
constexpr DBLENGTH kTextColumnBytes = 258;  // 128 characters and the terminator
constexpr DBBYTEOFFSET kNameOffset = 0;
constexpr DBBYTEOFFSET kParseNameOffset = kNameOffset + kTextColumnBytes;
constexpr DBBYTEOFFSET kDescriptionOffset = kParseNameOffset + kTextColumnBytes;
constexpr DBBYTEOFFSET kSourceTypeOffset = kDescriptionOffset + kTextColumnBytes;
constexpr DBBYTEOFFSET kIsParentOffset = kSourceTypeOffset + 2;
constexpr DBLENGTH kRowBytes = kIsParentOffset + 2;

DBBINDING ValueBinding(DBORDINAL ordinal, DBBYTEOFFSET offset, DBLENGTH bytes, DBTYPE type) {
  DBBINDING binding{};
  binding.iOrdinal = ordinal;
  binding.obValue = offset;
  binding.dwPart = DBPART_VALUE;
  binding.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
  binding.eParamIO = DBPARAMIO_NOTPARAM;
  binding.cbMaxLen = bytes;
  binding.wType = type;
  return binding;
}

// The enumerator's sources rowset, read one row at a time. What it acquires is given
// back when it goes, in this order: the sources-rowset interface, the accessor, the last
// row handle, the rowset.
class SourcesRowsetReader {
 public:
  SourcesRowsetReader() = default;
  SourcesRowsetReader(const SourcesRowsetReader&) = delete;
  SourcesRowsetReader& operator=(const SourcesRowsetReader&) = delete;

  ~SourcesRowsetReader() {
    sources_.reset();
    if (accessor_ && accessorHandle_ != DB_NULL_HACCESSOR) accessor_.get()->ReleaseAccessor(accessorHandle_, nullptr);
    accessor_.reset();
    ReleaseRow();
    rowset_.reset();
  }

  // The first failing result of opening the enumerator, or S_OK.
  HRESULT Open() {
    ISourcesRowset* sources = nullptr;
    HRESULT result = ::CoCreateInstance(kOleDbRootEnumeratorClass, nullptr, CLSCTX_INPROC_SERVER,
                                        kSourcesRowsetInterface, reinterpret_cast<void**>(&sources));
    if (FAILED(result)) return result;
    sources_.reset(sources);

    IUnknown* rowset = nullptr;
    result = sources_.get()->GetSourcesRowset(nullptr, kRowsetInterface, 0, nullptr, &rowset);
    if (FAILED(result)) return result;
    rowset_.reset(static_cast<IRowset*>(rowset));

    IAccessor* accessor = nullptr;
    result = rowset_.get()->QueryInterface(kAccessorInterface, reinterpret_cast<void**>(&accessor));
    if (FAILED(result)) return result;
    accessor_.reset(accessor);

    const DBBINDING bindings[] = {
        ValueBinding(1, kNameOffset, kTextColumnBytes, DBTYPE_WSTR),
        ValueBinding(2, kParseNameOffset, kTextColumnBytes, DBTYPE_WSTR),
        ValueBinding(3, kDescriptionOffset, kTextColumnBytes, DBTYPE_WSTR),
        ValueBinding(4, kSourceTypeOffset, 2, DBTYPE_UI2),
        ValueBinding(5, kIsParentOffset, 2, DBTYPE_I2),
    };
    std::memset(row_, 0, sizeof(row_));
    result = accessor_.get()->CreateAccessor(DBACCESSOR_ROWDATA, std::size(bindings), bindings, kRowBytes,
                                             &accessorHandle_, nullptr);
    return FAILED(result) ? result : S_OK;
  }

  // Moves to the next row and reads it: S_OK, or the answer that ends the walk (the
  // end of the rowset among them).
  HRESULT MoveNext() {
    ReleaseRow();
    DBCOUNTITEM obtained = 0;
    HROW* rows = &rowHandle_;
    HRESULT result = rowset_.get()->GetNextRows(DB_NULL_HCHAPTER, 0, 1, &obtained, &rows);
    if (result != S_OK) return result;
    if (obtained != 1) return DB_S_ENDOFROWSET;
    holdsRow_ = true;
    // Cleared for every row, so a column the provider leaves alone never shows the
    // previous row's value.
    std::memset(row_, 0, sizeof(row_));
    return rowset_.get()->GetData(rowHandle_, accessorHandle_, row_);
  }

  // The current row's source name: never more than the column holds, terminated or not.
  std::wstring SourceName() const {
    wchar_t name[kTextColumnBytes / sizeof(wchar_t)];
    std::memcpy(name, row_ + kNameOffset, sizeof(name));
    return std::wstring(name, ::wcsnlen(name, std::size(name)));
  }

 private:
  void ReleaseRow() {
    if (!holdsRow_) return;
    rowset_.get()->ReleaseRows(1, &rowHandle_, nullptr, nullptr, nullptr);
    holdsRow_ = false;
  }

  UniqueComInterface<ISourcesRowset> sources_;
  UniqueComInterface<IRowset> rowset_;
  UniqueComInterface<IAccessor> accessor_;
  HACCESSOR accessorHandle_ = DB_NULL_HACCESSOR;
  HROW rowHandle_ = DB_NULL_HROW;
  bool holdsRow_ = false;
  BYTE row_[kRowBytes] = {};
};

void WriteLine(ReportLineSink sink, int sourceLine, const wchar_t* format, HRESULT result) {
  SendReportLine(sink, &g_enumerationCaptureBlock, kLineChars, kLogDebug, kProviderList, sourceLine, format,
                 static_cast<int>(result));
}

}  // namespace

std::vector<std::wstring> provider_list(ReportLineSink sink) {
  std::vector<std::wstring> names;
  HRESULT stored = S_OK;
  try {
    // Joins the multithreaded apartment for a moment and leaves it at once: on a thread
    // that is already in it this changes nothing, on a thread without COM it changes
    // nothing either, and a single-threaded apartment is told apart here.
    try {
      ComInitializer brief(COINIT_MULTITHREADED, false, true);
    } catch (const init_exception&) {
      WriteLine(sink, __LINE__,
                L"An error occurred during enumerating OLE DB providers - failure during COM initialization. [%d]",
                S_OK);
    }

    SourcesRowsetReader reader;
    stored = reader.Open();
    if (stored == CO_E_NOTINITIALIZED) {
      WriteLine(sink, __LINE__, L"CoInitialize has not been called. [%d]", stored);
      return names;
    }
    if (stored != S_OK) {
      WriteLine(sink, __LINE__, L"An error occurred during enumerating OLE DB providers. [%d]", stored);
      return names;
    }
    while (reader.MoveNext() == S_OK) names.push_back(reader.SourceName());
  } catch (...) {
    WriteLine(sink, __LINE__, L"Cannot get list of OLE DB providers [%d]", stored);
  }
  return names;
}
