#include "control_fixture.h"

namespace ctl {

Args::~Args() {
  for (VARIANT& v : values_) {
    if (!(v.vt & VT_BYREF)) VariantClear(&v);
  }
}

Args& Args::Long(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  values_.push_back(v);
  return *this;
}

Args& Args::Text(const wchar_t* value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = value ? SysAllocString(value) : nullptr;
  values_.push_back(v);
  return *this;
}

Args& Args::Bool(bool value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  values_.push_back(v);
  return *this;
}

Args& Args::Currency(LONGLONG raw) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_CY;
  v.cyVal.int64 = raw;
  values_.push_back(v);
  return *this;
}

Args& Args::LongRef(LONG* target) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | VT_I4;
  v.plVal = target;
  values_.push_back(v);
  return *this;
}

Args& Args::TextRef(BSTR* target) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | VT_BSTR;
  v.pbstrVal = target;
  values_.push_back(v);
  return *this;
}

Args& Args::Value(const VARIANT& value) {
  VARIANT v;
  VariantInit(&v);
  if (value.vt & VT_BYREF) {
    v = value;
  } else {
    VariantCopy(&v, const_cast<VARIANT*>(&value));
  }
  values_.push_back(v);
  return *this;
}

DISPPARAMS Args::Params() {
  reversed_.assign(values_.rbegin(), values_.rend());
  return DISPPARAMS{reversed_.empty() ? nullptr : reversed_.data(), nullptr,
                    static_cast<UINT>(reversed_.size()), 0};
}

void SampleArgs(const kr::Member& member, Args& args, LONG* number, BSTR* text) {
  for (UINT i = 0; i < member.paramCount; ++i) {
    switch (member.params[i].type) {
      case VT_I4:
        args.Long(1000 + static_cast<LONG>(i));
        break;
      case VT_BSTR:
        args.Text((L"arg" + std::to_wstring(i)).c_str());
        break;
      case VT_BOOL:
        args.Bool(true);
        break;
      case VT_CY:
        args.Currency(10000LL * (i + 1));
        break;
      case VT_BYREF | VT_I4:
        args.LongRef(number);
        break;
      case VT_BYREF | VT_BSTR:
        args.TextRef(text);
        break;
    }
  }
}

std::wstring SystemText(HRESULT status) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(status), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  kr::UniqueLocalMem owned(text);
  return n ? std::wstring(text, n) : std::wstring();
}

HRESULT InvokeMethod(IDispatch* target, DISPID dispid, Args& args, VARIANT* result,
                     EXCEPINFO* excepInfo, UINT* argErr) {
  DISPPARAMS params = args.Params();
  return target->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                        excepInfo, argErr);
}

HRESULT GetProperty(IDispatch* target, DISPID dispid, VARIANT* result) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  return target->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result,
                        nullptr, nullptr);
}

HRESULT PutProperty(IDispatch* target, DISPID dispid, const VARIANT& value, EXCEPINFO* excepInfo) {
  VARIANT arg = value;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&arg, &named, 1, 1};
  return target->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                        nullptr, excepInfo, nullptr);
}

NameResult Resolve(IDispatch* target, const wchar_t* name, LCID lcid) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID dispid = 12345;
  HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, lcid, &dispid);
  return NameResult{hr, dispid};
}

ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    const DWORD waited = GetTickCount() - start;
    if (waited >= timeoutMs) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - waited, QS_ALLINPUT);
  }
}

HRESULT CanUnloadNow(HMODULE module) {
  using Fn = HRESULT(STDAPICALLTYPE*)();
  auto canUnload =
      reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  return canUnload ? canUnload() : E_NOTIMPL;
}

void ControlTest::SetUp() {
  ASSERT_TRUE(SUCCEEDED(com_.result()));
  ASSERT_EQ(S_OK, kr_test::CreateFromModule(L"Kerunel.ocx", kr::kControlClsid, IID_IDispatch,
                                            control_.put_void(), module_));
}

void ControlTest::TearDown() {
  control_.reset();
}

LONG ControlTest::Call(DISPID dispid, Args& args) {
  kr::UniqueVariant result;
  HRESULT hr = InvokeMethod(control_.get(), dispid, args, result.get());
  EXPECT_EQ(S_OK, hr) << "DISPID " << dispid;
  EXPECT_EQ(VT_I4, result->vt) << "DISPID " << dispid;
  return result->lVal;
}

Variant ControlTest::Get(DISPID dispid) {
  Variant value;
  EXPECT_EQ(S_OK, GetProperty(control_.get(), dispid, value.get())) << "DISPID " << dispid;
  return value;
}

void ServiceTest::SetUp() {
  ControlTest::SetUp();
  ASSERT_TRUE(so_) << "TestServiceObject.dll did not load";
  ASSERT_EQ(S_OK, so_.Register());
  so_->Reset();
  ASSERT_EQ(ERROR_SUCCESS, config_.Device(kDevice, TESTSO_PROGID));
}

void ServiceTest::TearDown() {
  if (control_) {
    Args none;
    kr::UniqueVariant ignored;
    InvokeMethod(control_.get(), KR_DISPID_Close, none, ignored.get());
  }
  ControlTest::TearDown();
  if (so_) so_->Reset();
}

void ServiceTest::OpenDevice() {
  ASSERT_EQ(0, Open(kDevice));
}

}  // namespace ctl
