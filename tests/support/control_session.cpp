// A logical device used through the Kerunel control, as an application
// does: created by ProgID, Open, Claim, DeviceEnabled, and back.
#include "kerunel_dispids.h"
#include "support.h"

namespace kr_test {
namespace {

// Invokes a member with at most one argument; returns the VT_I4 result
// (0 for a property put), or -1 when the call itself failed.
long Call(IDispatch* control, DISPID id, WORD kind, VARIANT* argument = nullptr) {
  DISPID named = DISPID_PROPERTYPUT;
  bool put = kind == DISPATCH_PROPERTYPUT;
  DISPPARAMS params{argument, put ? &named : nullptr, argument ? 1u : 0u, put ? 1u : 0u};
  kr::UniqueVariant result;
  HRESULT hr = control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kind, &params,
                               put ? nullptr : result.put(), nullptr, nullptr);
  if (FAILED(hr)) return -1;
  return put ? 0 : result->lVal;
}

kr::UniqueVariant Long(long value) {
  kr::UniqueVariant v;
  v->vt = VT_I4;
  v->lVal = value;
  return v;
}

kr::UniqueVariant Text(const std::wstring& text) {
  kr::UniqueVariant v;
  v->vt = VT_BSTR;
  v->bstrVal = SysAllocString(text.c_str());
  return v;
}

kr::UniqueVariant Bool(bool value) {
  kr::UniqueVariant v;
  v->vt = VT_BOOL;
  v->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

}  // namespace

std::string UseDeviceThroughControl(const std::wstring& deviceName) {
  CLSID clsid{};
  if (CLSIDFromProgID(L"KERUNEL.KerunelCtrl.1", &clsid) != S_OK) return "no ProgID";
  kr::ComPtr<IDispatch> control;
  if (CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                       reinterpret_cast<void**>(control.put())) != S_OK) {
    return "not created";
  }
  return UseDevice(control.get(), deviceName, true);
}

std::string UseDevice(IDispatch* c, const std::wstring& deviceName, bool enable) {
  kr::UniqueVariant name = Text(deviceName), timeout = Long(5000), on = Bool(true),
                    off = Bool(false);
  long r = Call(c, KR_DISPID_Open, DISPATCH_METHOD, name.get());
  if (r != 0) return "Open " + std::to_string(r);
  std::string failure;
  r = Call(c, KR_DISPID_Claim, DISPATCH_METHOD, timeout.get());
  if (r != 0) failure = "Claim " + std::to_string(r);
  if (failure.empty()) {
    if (enable) {
      Call(c, KR_DISPID_DeviceEnabled, DISPATCH_PROPERTYPUT, on.get());
      if ((r = Call(c, KR_DISPID_ResultCode, DISPATCH_PROPERTYGET)) != 0) {
        failure = "DeviceEnabled " + std::to_string(r);
      }
      Call(c, KR_DISPID_DeviceEnabled, DISPATCH_PROPERTYPUT, off.get());
    }
    r = Call(c, KR_DISPID_Release_, DISPATCH_METHOD);
    if (failure.empty() && r != 0) failure = "Release " + std::to_string(r);
  }
  r = Call(c, KR_DISPID_Close, DISPATCH_METHOD);
  if (failure.empty() && r != 0) failure = "Close " + std::to_string(r);
  return failure;
}

}  // namespace kr_test
