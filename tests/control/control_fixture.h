// Helpers for the control's tests: a Kerunel control created from the built
// Kerunel.ocx, calls on it by DISPID, and a control opened on the test
// Service Object.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <gtest/gtest.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include <functional>
#include <string>
#include <vector>

#include "kerunel_dispids.h"
#include "kerunel_ids.h"
#include "member_table.h"
#include "support.h"
#include "win_raii.h"

namespace ctl {

// A variant owned by the test; movable, so that helpers can return one.
using Variant = kr::UniqueVariant;

// Arguments of one call, in the member's parameter order. Strings given by
// value belong to the list; by-reference arguments point at the test's own
// variables.
class Args {
 public:
  Args() = default;
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args();

  Args& Long(LONG value);
  Args& Text(const wchar_t* value);  // nullptr passes a null BSTR
  Args& Bool(bool value);
  Args& Currency(LONGLONG raw);
  Args& LongRef(LONG* target);
  Args& TextRef(BSTR* target);
  Args& Value(const VARIANT& value);  // copied

  // The list last-first, as Invoke takes it.
  DISPPARAMS Params();

 private:
  std::vector<VARIANT> values_;  // in parameter order
  std::vector<VARIANT> reversed_;
};

// Fills `args` with a value for every parameter of `member`, each telling
// its position i: longs 1000 + i, strings "arg<i>", booleans true, currency
// 10000 * (i + 1); by-reference parameters point at *number and *text.
void SampleArgs(const kr::Member& member, Args& args, LONG* number, BSTR* text);

// The system's text for a status, as the failure report shows it.
std::wstring SystemText(HRESULT status);

// Calls Invoke on `target`; returns its HRESULT.
HRESULT InvokeMethod(IDispatch* target, DISPID dispid, Args& args, VARIANT* result,
                     EXCEPINFO* excepInfo = nullptr, UINT* argErr = nullptr);
HRESULT GetProperty(IDispatch* target, DISPID dispid, VARIANT* result);
HRESULT PutProperty(IDispatch* target, DISPID dispid, const VARIANT& value,
                    EXCEPINFO* excepInfo = nullptr);

// The DISPID that GetIDsOfNames gives for one name (DISPID_UNKNOWN when it
// fails), and its HRESULT.
struct NameResult {
  HRESULT hr;
  DISPID dispid;
};
NameResult Resolve(IDispatch* target, const wchar_t* name, LCID lcid);

// Reference count of a COM object as AddRef/Release report it.
ULONG RefCount(IUnknown* object);

// Dispatches this thread's messages until done() holds (true) or timeoutMs
// passes (false).
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);

// The answer of a module's DllCanUnloadNow.
HRESULT CanUnloadNow(HMODULE module);

// A control created from the built module for each test.
class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A method's 32-bit result; fails the test when Invoke fails.
  LONG Call(DISPID dispid, Args& args);
  LONG Call(DISPID dispid) {
    Args none;
    return Call(dispid, none);
  }
  LONG Open(const wchar_t* deviceName) { return Call(KR_DISPID_Open, Args().Text(deviceName)); }
  // A property value; fails the test when the read fails.
  Variant Get(DISPID dispid);
  HRESULT Put(DISPID dispid, const VARIANT& value) {
    return PutProperty(control_.get(), dispid, value);
  }

  kr::ComInit com_;
  kr::UniqueModule module_;
  kr::ComPtr<IDispatch> control_;

 private:
  using ::testing::Test::SetUp;
};

// A control next to the test Service Object, registered by ProgID as the
// device "TestFP" (the Service Object's records are reset first).
class ServiceTest : public ControlTest {
 protected:
  static constexpr const wchar_t* kDevice = L"TestFP";

  void SetUp() override;
  void TearDown() override;

  // Opens "TestFP"; fails the test unless Open returns 0.
  void OpenDevice();
  // The last recorded call of a Service Object method (nullptr: never called).
  const TestSoCall* Last(const wchar_t* method) const { return so_->LastCall(method); }
  UINT Count(const wchar_t* method) const { return so_->CountCalls(method); }

  kr_test::TestSo so_;
  kr_test::ScopedOposConfig config_;
};

}  // namespace ctl
