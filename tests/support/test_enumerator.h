#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/machine_key.h"

// Registers our stand-in for the OLE DB root enumerator (varrowmere_test_enumerator.dll,
// built beside the tests) under the enumerator's class in this Wine prefix, with the
// rows its sources rowset is to deliver, and removes the registration when it goes: Wine
// has no enumerator of its own. The class key is written below HKLM\Software\Classes
// with the process's own view of the registry, so a 32-bit test registers the 32-bit
// DLL in the 32-bit view and a 64-bit test the 64-bit one.
class TestEnumeratorRegistration {
 public:
  explicit TestEnumeratorRegistration(const std::vector<std::wstring>& rows);

  bool registered() const noexcept { return registered_; }

  // Makes GetSourcesRowset answer this result.
  void FailGetSourcesRowset(HRESULT result);

  // Whether the server has given back everything it handed out (objects, accessors,
  // row handles): its DllCanUnloadNow, asked while COM still has it loaded.
  static bool ServerHoldsNothing();

 private:
  TestMachineKey classKey_;
  bool registered_ = false;
};
