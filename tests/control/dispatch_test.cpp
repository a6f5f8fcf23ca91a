// The dispatch interface: name resolution in both locales, the Automation
// failures of Invoke, the closed state, and the object's COM identity.
#include <string>

#include "control_fixture.h"
#include "member_table.h"
#include "opos.h"

namespace {

using ctl::Args;
using ctl::Resolve;
using kr::ComPtr;

using DispatchTest = ctl::ControlTest;

TEST_F(DispatchTest, ResolvesTheFirstNameFromTheMemberTableWithLocaleZero) {
  IDispatch* c = control_.get();
  EXPECT_EQ(KR_DISPID_BinaryConversion, Resolve(c, L"binaryconversion", 0).dispid);
  EXPECT_EQ(KR_DISPID_BinaryConversion, Resolve(c, L"BINARYCONVERSION", 0).dispid);
  EXPECT_EQ(-552, Resolve(c, L"AboutBox", 0).dispid);
  EXPECT_EQ(96, Resolve(c, L"Release_", 0).dispid);
  EXPECT_EQ(110, Resolve(c, L"PrintRecItem", 0).dispid);
  EXPECT_EQ(153, Resolve(c, L"SOProcessID", 0).dispid);
  // The member table's spellings, not the type library's.
  EXPECT_EQ(2, Resolve(c, L"CheckHealthText", 0).dispid);
  EXPECT_EQ(27, Resolve(c, L"CapIndependentHeader", 0).dispid);
  for (const wchar_t* unknown : {L"Release", L"CheckHealtText", L"CapIndipendentHeader",
                                 L"OutputCompleteEvent", L"", L"BinaryConversio"}) {
    ctl::NameResult r = Resolve(c, unknown, 0);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, r.hr) << unknown;
    EXPECT_EQ(DISPID_UNKNOWN, r.dispid) << unknown;
  }

  // Only the first name is resolved; parameter names stay unknown.
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"PrintRecItem"), const_cast<LPOLESTR>(L"Description")};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(DISP_E_UNKNOWNNAME, c->GetIDsOfNames(IID_NULL, names, 2, 0, ids));
  EXPECT_EQ(110, ids[0]);
  EXPECT_EQ(DISPID_UNKNOWN, ids[1]);

  DISPID id = 0;
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, c->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id));
}

// The type library registered in the test's prefix, removed afterwards.
class RegisteredTypeLibrary {
 public:
  RegisteredTypeLibrary() {
    kr::UniqueModule module(LoadLibraryW(L"Kerunel.ocx"));
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module.get(), path, MAX_PATH);
    ComPtr<ITypeLib> library;
    hr_ = LoadTypeLibEx(path, REGKIND_NONE, library.put());
    if (SUCCEEDED(hr_)) hr_ = RegisterTypeLib(library.get(), path, nullptr);
  }
  ~RegisteredTypeLibrary() { Remove(); }
  HRESULT result() const { return hr_; }
  void Remove() {
    if (SUCCEEDED(hr_))
      UnRegisterTypeLib(kr::kLibId, 1, 0, 0x0409, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    hr_ = E_FAIL;
  }

 private:
  HRESULT hr_;
};

TEST_F(DispatchTest, ResolvesThroughTheRegisteredTypeLibraryWithALocale) {
  IDispatch* c = control_.get();
  const LCID us = 0x0409;
  {
    RegisteredTypeLibrary registered;
    ASSERT_EQ(S_OK, registered.result());
    EXPECT_EQ(2, Resolve(c, L"CheckHealtText", us).dispid);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, Resolve(c, L"CheckHealthText", us).hr);
    EXPECT_EQ(27, Resolve(c, L"CapIndipendentHeader", us).dispid);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, Resolve(c, L"CapIndependentHeader", us).hr);
    EXPECT_EQ(96, Resolve(c, L"Release_", us).dispid);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, Resolve(c, L"Release", us).hr);
    EXPECT_EQ(-552, Resolve(c, L"AboutBox", us).dispid);
    EXPECT_EQ(KR_DISPID_BinaryConversion, Resolve(c, L"binaryconversion", us).dispid);

    // The type library knows parameter names.
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"PrintRecItem"), const_cast<LPOLESTR>(L"UnitName")};
    DISPID ids[2] = {0, 0};
    EXPECT_EQ(S_OK, c->GetIDsOfNames(IID_NULL, names, 2, us, ids));
    EXPECT_EQ(110, ids[0]);
    EXPECT_EQ(5, ids[1]);

    // Locale 0 keeps to the member table.
    EXPECT_EQ(2, Resolve(c, L"CheckHealthText", 0).dispid);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, Resolve(c, L"CheckHealtText", 0).hr);
  }
  // Not registered: a locale no longer leads to the type library.
  EXPECT_EQ(2, Resolve(c, L"CheckHealthText", us).dispid);
  EXPECT_EQ(DISP_E_UNKNOWNNAME, Resolve(c, L"CheckHealtText", us).hr);
}

TEST_F(DispatchTest, InvokeRaisesTheStandardAutomationFailures) {
  IDispatch* c = control_.get();
  kr::UniqueVariant result;
  for (DISPID unknown : {0, 154, 1000, -1, -551}) {
    Args none;
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, ctl::InvokeMethod(c, unknown, none, result.put())) << unknown;
  }
  {
    Args none;
    DISPPARAMS p = none.Params();
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, c->Invoke(KR_DISPID_Close, IID_IDispatch, 0, DISPATCH_METHOD,
                                                 &p, result.put(), nullptr, nullptr));
  }
  {
    Args none;  // Claim takes one argument
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, ctl::InvokeMethod(c, KR_DISPID_Claim, none, result.put()));
    Args two;
    two.Long(1).Long(2);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, ctl::InvokeMethod(c, KR_DISPID_Claim, two, result.put()));
  }
  {
    Args named;
    named.Long(1000);
    DISPPARAMS p = named.Params();
    DISPID name = 0;
    p.rgdispidNamedArgs = &name;
    p.cNamedArgs = 1;
    EXPECT_EQ(DISP_E_NONAMEDARGS, c->Invoke(KR_DISPID_Claim, IID_NULL, 0, DISPATCH_METHOD, &p,
                                            result.put(), nullptr, nullptr));
  }
  {
    // The failing argument's position is reported as Invoke counts it (last-first).
    Args args;
    args.Text(L"Bread").Currency(10000).Text(L"many").Long(1).Currency(10000).Text(L"kg");
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              ctl::InvokeMethod(c, KR_DISPID_PrintRecItem, args, result.put(), nullptr, &argErr));
    EXPECT_EQ(3u, argErr);
  }
  {
    // A by-reference parameter needs a reference.
    Args args;
    args.Long(1).Long(2).Text(L"x");
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              ctl::InvokeMethod(c, KR_DISPID_DirectIO, args, result.put(), nullptr, &argErr));
    EXPECT_EQ(1u, argErr);
  }
  {
    // Property reads take no arguments and no names.
    Args one;
    one.Long(1);
    DISPPARAMS p = one.Params();
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, c->Invoke(KR_DISPID_State, IID_NULL, 0, DISPATCH_PROPERTYGET,
                                              &p, result.put(), nullptr, nullptr));
    VARIANT values[2];
    values[0].vt = values[1].vt = VT_I4;
    values[0].lVal = values[1].lVal = 1;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS two{values, &put, 2, 1};
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              c->Invoke(KR_DISPID_PowerNotify, IID_NULL, 0, DISPATCH_PROPERTYPUT, &two, nullptr,
                        nullptr, nullptr));
    DISPID wrong = 3;
    DISPPARAMS misnamed{values, &wrong, 1, 1};
    EXPECT_EQ(DISP_E_NONAMEDARGS,
              c->Invoke(KR_DISPID_PowerNotify, IID_NULL, 0, DISPATCH_PROPERTYPUT, &misnamed,
                        nullptr, nullptr, nullptr));
    VARIANT text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"not a number");
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ctl::PutProperty(c, KR_DISPID_PowerNotify, text));
    VariantClear(&text);
  }
}

TEST_F(DispatchTest, WritingAReadOnlyPropertyRaisesSetNotSupported) {
  for (DISPID readOnly : {KR_DISPID_Claimed, KR_DISPID_State, KR_DISPID_DeviceName,
                          KR_DISPID_ControlObjectVersion, KR_DISPID_CapXReport}) {
    VARIANT value;
    value.vt = VT_I4;
    value.lVal = 1;
    EXCEPINFO info{};
    EXPECT_EQ(DISP_E_EXCEPTION, ctl::PutProperty(control_.get(), readOnly, value, &info))
        << readOnly;
    EXPECT_EQ(static_cast<SCODE>(0x800A017F), info.scode) << readOnly;
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
  }
  // The version keeps its value.
  EXPECT_EQ(1000003, Get(KR_DISPID_ControlObjectVersion)->lVal);
}

TEST_F(DispatchTest, EveryPropertyReadsItsClosedDefault) {
  for (int i = 0; i < kr::kPropertyCount; ++i) {
    const kr::Member& m = kr::kMembers[i];
    SCOPED_TRACE(m.name);
    ctl::Variant value = Get(m.dispid);
    if (m.dispid == KR_DISPID_ControlObjectVersion) {
      EXPECT_EQ(VT_I4, value->vt);
      EXPECT_EQ(1000003, value->lVal);
    } else if (m.dispid == KR_DISPID_ControlObjectDescription) {
      ASSERT_EQ(VT_BSTR, value->vt);
      EXPECT_EQ(0, wcsncmp(value->bstrVal, L"OPOS Fiscal Printer Control", 27));
    } else if (m.type == VT_I4) {
      EXPECT_EQ(VT_I4, value->vt);
      EXPECT_EQ(opos::OPOS_E_CLOSED, value->lVal);
    } else if (m.type == VT_BOOL) {
      EXPECT_EQ(VT_BOOL, value->vt);  // although the type library says VT_I1
      EXPECT_EQ(VARIANT_FALSE, value->boolVal);
    } else {
      ASSERT_EQ(VT_BSTR, value->vt);
      EXPECT_STREQ(L"[Error]", value->bstrVal);
    }
  }
  // Containers that read properties as methods get the same.
  Args none;
  kr::UniqueVariant state;
  DISPPARAMS p = none.Params();
  ASSERT_EQ(S_OK,
            control_->Invoke(KR_DISPID_State, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                             &p, state.get(), nullptr, nullptr));
  EXPECT_EQ(101, state->lVal);

  // Closed: writes are accepted and dropped.
  VARIANT on;
  on.vt = VT_BOOL;
  on.boolVal = VARIANT_TRUE;
  EXPECT_EQ(S_OK, Put(KR_DISPID_DeviceEnabled, on));
  EXPECT_EQ(VARIANT_FALSE, Get(KR_DISPID_DeviceEnabled)->boolVal);
}

// Every OPOS method but Open answers 101 before Open, without creating or
// calling a Service Object.
using ClosedControlTest = ctl::ServiceTest;

TEST_F(ClosedControlTest, EveryForwardedMethodReturnsClosedWithoutACall) {
  int forwarded = 0;
  for (const kr::Member& m : kr::kMembers) {
    if (m.action != kr::MemberAction::kForward && m.action != kr::MemberAction::kClose) continue;
    SCOPED_TRACE(m.name);
    ++forwarded;
    LONG number = 5;
    BSTR text = SysAllocString(L"mine");
    Args args;
    ctl::SampleArgs(m, args, &number, &text);
    EXPECT_EQ(opos::OPOS_E_CLOSED, Call(m.dispid, args));
    // The caller's by-reference variables are untouched.
    EXPECT_EQ(5, number);
    EXPECT_STREQ(L"mine", text);
    SysFreeString(text);
  }
  EXPECT_EQ(55, forwarded);
  // Booleans given as longs, as a container following the type library does.
  EXPECT_EQ(opos::OPOS_E_CLOSED, Call(KR_DISPID_BeginFiscalReceipt, Args().Long(2)));

  TestSoCounters counters = so_.Counters();
  EXPECT_EQ(0, counters.createdObjects);
  EXPECT_EQ(0u, so_->CallCount());
  EXPECT_EQ(0, Call(KR_DISPID_SOProcessID));
}

TEST_F(DispatchTest, IsOneComObjectWithExactReferenceCounts) {
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(S_OK, control_.QueryTo(IID_IUnknown, unknown));
  const IID* supported[] = {
      &IID_IDispatch,           &kr::kDispatchIid,          &IID_IConnectionPointContainer,
      &IID_IOleControl,         &IID_IProvideClassInfo,     &IID_IProvideClassInfo2,
      &IID_IOleObject,          &IID_IOleInPlaceObject,     &IID_IOleInPlaceActiveObject,
      &IID_IViewObject2,        &IID_IPersistStreamInit,    &IID_IPersistStorage,
      &IID_IPersistPropertyBag, &IID_ISpecifyPropertyPages, &IID_IQuickActivate};
  for (const IID* iid : supported) {
    ComPtr<IUnknown> itf;
    ASSERT_EQ(S_OK, control_.QueryTo(*iid, itf));
    ComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, itf.QueryTo(IID_IUnknown, identity));
    EXPECT_EQ(unknown.get(), identity.get());
  }
  ComPtr<IUnknown> none;
  EXPECT_EQ(E_NOINTERFACE, control_.QueryTo(IID_IOleLink, none));
  EXPECT_FALSE(none);
  EXPECT_EQ(2u, ctl::RefCount(control_.get()));  // control_ and unknown

  UINT count = 0;
  EXPECT_EQ(S_OK, control_->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(S_OK, control_->GetTypeInfo(0, 0, info.put()));
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(kr::kDispatchIid, attr->guid));
  info->ReleaseTypeAttr(attr);
  EXPECT_EQ(DISP_E_BADINDEX, control_->GetTypeInfo(1, 0, info.put()));

  ComPtr<IProvideClassInfo2> classInfo;
  ASSERT_EQ(S_OK, control_.QueryTo(IID_IProvideClassInfo2, classInfo));
  GUID source = GUID_NULL;
  EXPECT_EQ(S_OK, classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
  EXPECT_TRUE(IsEqualGUID(kr::kEventsIid, source));
  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(S_OK, classInfo->GetClassInfo(coclass.put()));
  ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(kr::kControlClsid, attr->guid));
  coclass->ReleaseTypeAttr(attr);
  classInfo.reset();

  // The module stays loaded while the object lives; the last Release says 0.
  using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
  auto canUnload = reinterpret_cast<CanUnloadFn>(
      reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllCanUnloadNow")));
  ASSERT_TRUE(canUnload);
  EXPECT_EQ(S_FALSE, canUnload());
  unknown.reset();
  EXPECT_EQ(0u, control_.detach()->Release());
  EXPECT_EQ(S_OK, canUnload());
}

TEST_F(DispatchTest, ModuleExportsAFactoryPerClass) {
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  auto get = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllGetClassObject")));
  ASSERT_TRUE(get);
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(S_OK, get(kr::kControlClsid, IID_IClassFactory, factory.put_void()));
  ComPtr<IUnknown> outer;
  ASSERT_EQ(S_OK, control_.QueryTo(IID_IUnknown, outer));
  ComPtr<IUnknown> aggregated;
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            factory->CreateInstance(outer.get(), IID_IUnknown, aggregated.put_void()));
  ComPtr<IUnknown> wrong;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, get(IID_IDispatch, IID_IClassFactory, wrong.put_void()));

  ComPtr<IClassFactory> pageFactory;
  EXPECT_EQ(S_OK, get(kr::kPropPageClsid, IID_IClassFactory, pageFactory.put_void()));

  // A lock keeps the module in use; an unlock too many does not pin it.
  using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
  auto canUnload = reinterpret_cast<CanUnloadFn>(
      reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllCanUnloadNow")));
  outer.reset();
  control_.reset();
  EXPECT_EQ(S_OK, canUnload());
  factory->LockServer(TRUE);
  EXPECT_EQ(S_FALSE, canUnload());
  factory->LockServer(FALSE);
  EXPECT_EQ(S_OK, canUnload());
  pageFactory->LockServer(FALSE);
  EXPECT_EQ(S_OK, canUnload());
  pageFactory->LockServer(TRUE);
  EXPECT_EQ(S_FALSE, canUnload());
  pageFactory->LockServer(FALSE);
  EXPECT_EQ(S_OK, canUnload());
}

}  // namespace
