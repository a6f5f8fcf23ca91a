// The wrappers in this process. TKerunel over the registered control: a
// refused call or property write, and a binding without a control.
// TOPOSFiscalPrinter against a fake standard control registered under the
// standard's class identifier: members go by the names the fake resolves,
// checked calls report failures in their box, events 2 to 5 reach the four
// handlers.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "com_server.h"
#include "kerunel_ids.h"
#include "kerunel_wrapper.h"
#include "main_form.h"
#include "opos_fiscal_printer.h"
#include "support.h"

namespace {

const CLSID kClsid = {0xCCB90072, 0xB81E, 0x11D2, {0xAB, 0x74, 0x00, 0x40, 0x05, 0x4C, 0x37, 0x19}};
const IID kEventsIid = {
    0xCCB90073, 0xB81E, 0x11D2, {0xAB, 0x74, 0x00, 0x40, 0x05, 0x4C, 0x37, 0x19}};

struct Seen {
  std::wstring name;
  WORD flags;
  std::vector<VARIANT> args;  // first to last; by-reference ones dereferenced
};

// The fake control: IDispatch with names of its own, one connection point.
// Every member is a name in kNames; its DISPID is the standard's for the
// nine properties and 1000 + position for the rest.
class FakePrinter final : public kr::NoTypeInfo<>,
                          public IConnectionPointContainer,
                          public IConnectionPoint {
 public:
  std::vector<Seen> seen;
  std::wstring failing;
  HRESULT failure = E_FAIL;
  kr::ComPtr<IDispatch> sink;

  static DISPID IdOf(const std::wstring& name) {
    struct Known {
      const wchar_t* name;
      DISPID id;
    };
    static const Known kKnown[] = {
        {L"BinaryConversion", 11},  {L"DeviceEnabled", 17}, {L"FreezeEvents", 18},
        {L"PowerNotify", 20},       {L"AsyncMode", 51},     {L"CheckTotal", 95},
        {L"DuplicateReceipt", 100}, {L"FlagWhenIdle", 106}, {L"SlipSelection", 121},
    };
    for (const Known& k : kKnown) {
      if (name == k.name) return k.id;
    }
    if (name == L"Claim" || name == L"Release_" || name == L"AboutBox") return DISPID_UNKNOWN;
    return 1000 + static_cast<DISPID>(std::hash<std::wstring>()(name) % 100000);
  }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
    } else if (iid == IID_IConnectionPointContainer) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (iid == IID_IConnectionPoint) {
      *out = static_cast<IConnectionPoint*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    for (UINT i = 0; i < count; ++i) {
      ids[i] = IdOf(names[i]);
      names_[ids[i]] = names[i];
    }
    return ids[0] == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO*, UINT*) override {
    Seen s{names_[id], flags, {}};
    for (UINT i = params->cArgs; i-- > 0;) {
      VARIANT v = params->rgvarg[i];
      if (v.vt == (VT_BYREF | VT_I4)) {
        v.vt = VT_I4;
        v.lVal = *params->rgvarg[i].plVal;
      }
      s.args.push_back(v);
    }
    seen.push_back(s);
    if (s.name == failing) return failure;
    if (result) {
      result->vt = VT_I4;
      result->lVal = s.name == L"PrintXReport" ? 7 : 0;
    }
    return S_OK;
  }

  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
    *out = iid == kEventsIid ? static_cast<IConnectionPoint*>(this) : nullptr;
    return *out ? S_OK : CONNECT_E_NOCONNECTION;
  }
  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    *iid = kEventsIid;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer**) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Advise(IUnknown* unknown, DWORD* cookie) override {
    if (FAILED(unknown->QueryInterface(kEventsIid, sink.put_void()))) return E_NOINTERFACE;
    *cookie = 1;
    return S_OK;
  }
  STDMETHODIMP Unadvise(DWORD) override {
    sink.reset();
    return S_OK;
  }
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  // Fires event `dispid` with `count` arguments of the shape its handler
  // takes (longs of 40, by-reference ones at the end starting from
  // `response`); returns what the sink left in the by-reference long.
  LONG Fire(DISPID dispid, UINT count, LONG response) {
    VARIANT args[4];
    for (VARIANT& a : args) {
      a.vt = VT_I4;
      a.lVal = 40;
    }
    if (count == 4) {  // the last argument
      args[0].vt = VT_BYREF | VT_I4;
      args[0].plVal = &response;
    }
    BSTR text = ::SysAllocString(L"di");
    if (count == 3) {
      args[0].vt = VT_BYREF | VT_BSTR;
      args[0].pbstrVal = &text;
      args[1].vt = VT_BYREF | VT_I4;
      args[1].plVal = &response;
    }
    DISPPARAMS params{args, nullptr, count, 0};
    if (sink)
      sink->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    ::SysFreeString(text);
    return response;
  }

 private:
  std::map<DISPID, std::wstring> names_;
};

class Factory final : public IClassFactory {
 public:
  explicit Factory(IDispatch& object) : object_(object) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == IID_IClassFactory ? this : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown*, REFIID iid, void** out) override {
    return object_.QueryInterface(iid, out);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  IDispatch& object_;
};

class OposWrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.result()));
    ASSERT_EQ(S_OK, ::CoRegisterClassObject(kClsid, &factory_, CLSCTX_INPROC_SERVER,
                                            REGCLS_MULTIPLEUSE, &registration_));
    window_ = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 32, 32, nullptr, nullptr,
                                nullptr, nullptr);
    ASSERT_EQ(S_OK, wrapper_.Create(window_, nullptr, 0));
  }
  void TearDown() override {
    wrapper_.Destroy();
    ::DestroyWindow(window_);
    ::CoRevokeClassObject(registration_);
  }
  const Seen& Last() const { return fake_.seen.back(); }

  kr::ComInit com_;
  FakePrinter fake_;
  Factory factory_{fake_};  // the fake's IDispatch
  DWORD registration_ = 0;
  HWND window_ = nullptr;
  vostrik::TOPOSFiscalPrinter wrapper_;
};

TEST_F(OposWrapperTest, CallsTheStandardsMembersByTheNamesItResolves) {
  using vostrik::Arg;
  BSTR text = ::SysAllocString(L"x");
  struct Case {
    const wchar_t* name;
    std::vector<Arg> args;
    std::vector<VARTYPE> sent;
    std::vector<LONG> values;  // of the long and boolean arguments, in order
    LONG result;
  };
  const Case cases[] = {
      {L"ClaimDevice", {Arg::Long(1000)}, {VT_I4}, {1000}, 0},
      {L"ReleaseDevice", {}, {}, {}, 0},
      {L"BeginFiscalReceipt", {Arg::Long(2)}, {VT_BOOL}, {VARIANT_TRUE}, 0},
      {L"SetHeaderLine",
       {Arg::Long(1), Arg::Text(text), Arg::Long(0)},
       {VT_I4, VT_BSTR, VT_BOOL},
       {1, VARIANT_FALSE},
       0},
      {L"ResetPrinter", {}, {}, {}, 0},
      {L"PrintXReport", {}, {}, {}, 7},
      {L"SODataDummy", {Arg::Long(5)}, {VT_I4}, {5}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + ::wcslen(c.name)));
    EXPECT_EQ(c.result, wrapper_.CallMethod(c.name, c.args.data(), c.args.size()));
    ASSERT_FALSE(fake_.seen.empty());
    EXPECT_TRUE(Last().name == c.name);
    EXPECT_EQ(DISPATCH_METHOD, Last().flags);
    ASSERT_EQ(c.sent.size(), Last().args.size());
    size_t number = 0;
    for (size_t i = 0; i < c.sent.size(); ++i) {
      EXPECT_EQ(c.sent[i], Last().args[i].vt) << "argument " << i;
      if (c.sent[i] == VT_I4) {
        EXPECT_EQ(c.values[number++], Last().args[i].lVal);
      } else if (c.sent[i] == VT_BOOL) {
        EXPECT_EQ(c.values[number++], Last().args[i].boolVal);
      }
    }
  }
  ::SysFreeString(text);
  EXPECT_EQ(DISPID_UNKNOWN, wrapper_.DispidOf(L"Claim"));

  // The nine properties go by the DISPIDs the control gave for their names.
  wrapper_.set_DeviceEnabled(true);
  EXPECT_TRUE(Last().name == L"DeviceEnabled");
  EXPECT_EQ(DISPATCH_PROPERTYPUT, Last().flags);
  ASSERT_EQ(1u, Last().args.size());
  EXPECT_EQ(VT_BOOL, Last().args[0].vt);
  EXPECT_EQ(VARIANT_TRUE, Last().args[0].boolVal);
  EXPECT_EQ(121, wrapper_.DispidOf(L"SlipSelection"));
  EXPECT_EQ(0, wrapper_.get_SlipSelection());
  EXPECT_EQ(DISPATCH_PROPERTYGET, Last().flags);
}

TEST_F(OposWrapperTest, AFailedCheckedCallAsksWhatToDo) {
  fake_.failing = L"PrintZReport";
  {
    kr_test::MessageBoxWatcher no(vostrik::kCheckedCallCaption, 10000, IDNO);
    EXPECT_EQ(111, wrapper_.CallMethod(L"PrintZReport"));
    ASSERT_EQ(1u, no.Count());
    const std::wstring text = no.Texts()[0];
    EXPECT_EQ(0u, text.find(L"PrintZReport()\n" + vostrik::SystemStatusText(E_FAIL) + L"\nFile: "))
        << std::string(text.begin(), text.end());
  }
  {
    kr_test::MessageBoxWatcher yes(vostrik::kCheckedCallCaption, 10000, IDYES);
    EXPECT_THROW(wrapper_.CallMethod(L"PrintZReport"), vostrik::OleError);
    EXPECT_EQ(1u, yes.Count());
  }
  // The callbacks and SODataDummy are called without a check.
  fake_.failing = L"SODataDummy";
  kr_test::MessageBoxWatcher none(vostrik::kCheckedCallCaption, 2000);
  vostrik::Arg five = vostrik::Arg::Long(5);
  EXPECT_EQ(0, wrapper_.CallMethod(L"SODataDummy", &five, 1));
  EXPECT_EQ(0u, none.Count());
}

TEST_F(OposWrapperTest, Events2To5ReachTheFourHandlers) {
  std::vector<std::string> calls;
  wrapper_.OnDirectIOEvent = [&](vostrik::TOleControl&, LONG n, LONG* data, BSTR* text) {
    calls.push_back("DirectIO " + std::to_string(n) + " " + std::to_string(*data) + " " +
                    (*text ? "di" : "null"));
  };
  wrapper_.OnErrorEvent = [&](vostrik::TOleControl&, LONG rc, LONG, LONG, LONG* response) {
    calls.push_back("Error " + std::to_string(rc));
    *response = 11;  // goes back to the control
  };
  wrapper_.OnOutputCompleteEvent = [&](vostrik::TOleControl&, LONG id) {
    calls.push_back("OutputComplete " + std::to_string(id));
  };
  wrapper_.OnStatusUpdateEvent = [&](vostrik::TOleControl&, LONG data) {
    calls.push_back("StatusUpdate " + std::to_string(data));
  };
  EXPECT_EQ(3, fake_.Fire(2, 3, 3));
  EXPECT_EQ(11, fake_.Fire(3, 4, 12));
  fake_.Fire(4, 1, 0);
  fake_.Fire(5, 1, 0);
  fake_.Fire(1, 1, 0);  // the Kerunel DirectIO event's DISPID: nobody's here
  const std::vector<std::string> expected = {"DirectIO 40 3 di", "Error 40", "OutputComplete 40",
                                             "StatusUpdate 40"};
  EXPECT_EQ(expected, calls);
}

// A Kerunel control that refuses every method call and takes every property
// write: the window shows the
// refusal as an error everywhere, the state line included, although the
// control's ResultCode still reads 0.
class RefusingKerunel final : public kr::NoTypeInfo<> {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kr::kDispatchIid) {
      *out = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (flags & DISPATCH_PROPERTYPUT) return S_OK;
    if (!(flags & DISPATCH_PROPERTYGET) || !result) return DISP_E_TYPEMISMATCH;
    result->vt = id == KR_DISPID_TrainingModeActive ? VT_BOOL : VT_I4;
    result->lVal = id == KR_DISPID_PrinterState ? 1 : 0;
    return S_OK;
  }
};

TEST(MainFormTest, ARefusedCallShowsAsAnErrorInTheStateLineToo) {
  kr::ComInit com;
  RefusingKerunel refusing;
  Factory factory(refusing);
  DWORD registration = 0;
  ASSERT_EQ(S_OK, ::CoRegisterClassObject(kr::kControlClsid, &factory, CLSCTX_INPROC_SERVER,
                                          REGCLS_MULTIPLEUSE, &registration));
  auto revoke = kr::MakeScopeGuard([&] { ::CoRevokeClassObject(registration); });
  kr_test::MessageBoxWatcher boxes(vostrik::kProgramName, 30000);  // none expected
  vostrik::TMainForm form;
  ASSERT_EQ(S_OK, form.Create(::GetModuleHandleW(nullptr)));
  ::ShowWindow(form.hwnd(), SW_SHOW);
  form.ButtonClick(vostrik::c::bOpen);
  EXPECT_EQ(L"111-OPOS_E_FAILURE", form.Text(vostrik::c::eResultCode));
  EXPECT_EQ(vostrik::kRed, form.Colour(vostrik::c::eResultCode));
  EXPECT_EQ(L"Monitor[Error]", form.Text(vostrik::c::eStatus));
  ::UpdateWindow(form.hwnd());
  const std::wstring shot = kr_test::TakeScreenshot(L"vostrik_refused_call");
  EXPECT_FALSE(shot.empty());
  // A property write the control takes is no refused call.
  form.ButtonClick(vostrik::c::bEnable);
  EXPECT_EQ(L"Monitor", form.Text(vostrik::c::eStatus));
  ::DestroyWindow(form.hwnd());
  boxes.Stop();
  EXPECT_EQ(0u, boxes.Count());
}

TEST(KerunelWrapperTest, RefusedCallsAndWritesAreNeverSuccess) {
  kr::ComInit com;
  kr::UniqueModule module(::LoadLibraryW(L"Kerunel.ocx"));
  ASSERT_TRUE(module);
  using ServerFn = HRESULT(STDAPICALLTYPE*)();
  auto exportOf = [&](const char* name) {
    return reinterpret_cast<ServerFn>(
        reinterpret_cast<void*>(::GetProcAddress(module.get(), name)));
  };
  ASSERT_EQ(S_OK, exportOf("DllRegisterServer")());
  auto unregister = kr::MakeScopeGuard([&] { exportOf("DllUnregisterServer")(); });
  const HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 32, 32, nullptr, nullptr,
                                        nullptr, nullptr);
  auto destroy = kr::MakeScopeGuard([&] { ::DestroyWindow(window); });

  {
    // Without a control the binding asks; No goes on, and the call has
    // not happened.
    vostrik::TKerunel unbound;
    kr_test::MessageBoxWatcher box(vostrik::kAssertionCaption, 10000, IDNO);
    EXPECT_EQ(111, unbound.ClearError());
    ASSERT_EQ(1u, box.Count());
    EXPECT_EQ(0u, box.Texts()[0].find(L"Assertion failed: DefaultDispatch\nFile: "));
  }

  vostrik::TKerunel kerunel;
  ASSERT_EQ(S_OK, kerunel.Create(window, nullptr, 0));
  EXPECT_EQ(1000003, kerunel.get_ControlObjectVersion());
  EXPECT_EQ(101, kerunel.ClearError());  // closed: the control's own answer
  // A member the control does not have: the call is refused, not a success.
  EXPECT_EQ(111, kerunel.CallMethod(4242, nullptr, 0));
  try {
    kerunel.set_Claimed(true);
    ADD_FAILURE() << "writing Claimed did not raise";
  } catch (const vostrik::OleError& e) {
    EXPECT_EQ(DISP_E_EXCEPTION, e.status());
    EXPECT_FALSE(e.text().empty());
  }

  // Destroy lets go of the control at once, the bound interface included.
  ASSERT_NE(nullptr, kerunel.DefaultInterface());
  kerunel.Destroy();
  EXPECT_EQ(S_OK, exportOf("DllCanUnloadNow")());
}

}  // namespace
