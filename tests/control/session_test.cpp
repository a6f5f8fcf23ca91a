// The device session: Open's registry lookup and binding with every failure
// it can meet, Close, Claim, Release_, CheckHealth and destruction while
// open, against the test Service Object.
#include <string>

#include "control_fixture.h"
#include "opos.h"

namespace {

using ctl::Args;
using ctl::SystemText;
using kr_test::MessageBoxWatcher;

// A device key with no default value; removed with the test.
class BareDeviceKey {
 public:
  explicit BareDeviceKey(const std::wstring& name) : name_(name) {
    kr::UniqueHKey key;
    rc_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                          (std::wstring(kr_test::kOposClassKey) + L"\\" + name).c_str(), 0, nullptr,
                          0, KEY_WRITE, nullptr, key.put(), nullptr);
  }
  ~BareDeviceKey() { kr_test::RemoveOposDevice(name_); }
  LONG result() const { return rc_; }

 private:
  std::wstring name_;
  LONG rc_;
};

using SessionTest = ctl::ServiceTest;

TEST_F(SessionTest, OpenBindsTheConfiguredServiceObjectAndHandsItTheControl) {
  OpenDevice();
  TestSoCounters c = so_.Counters();
  EXPECT_EQ(1, c.liveObjects);
  EXPECT_EQ(1, c.objectRefs);  // the binding's one reference
  EXPECT_EQ(1, c.controlRefsHeld);

  // All 61 names asked one at a time with the system locale, in table order.
  ASSERT_EQ(61u, so_->NameRequestCount());
  EXPECT_STREQ(L"GetPropertyNumber", so_->NameRequest(0)->name);
  EXPECT_STREQ(L"ResetPrinter", so_->NameRequest(60)->name);
  for (UINT i = 0; i < 61; ++i) {
    EXPECT_EQ(1u, so_->NameRequest(i)->nameCount);
    EXPECT_EQ(LOCALE_SYSTEM_DEFAULT, so_->NameRequest(i)->lcid);
    EXPECT_TRUE(so_->NameRequest(i)->riidIsNull);
  }

  const TestSoCall* open = Last(L"OpenService");
  ASSERT_NE(nullptr, open);
  EXPECT_EQ(LOCALE_USER_DEFAULT, open->lcid);
  EXPECT_EQ(DISPATCH_METHOD, open->flags);
  ASSERT_EQ(3u, open->argCount);
  EXPECT_EQ(VT_BSTR, open->args[0].vt);
  EXPECT_STREQ(L"Kerunel", open->args[0].text);
  EXPECT_STREQ(kDevice, open->args[1].text);
  EXPECT_EQ(VT_DISPATCH, open->args[2].vt);
  EXPECT_EQ(static_cast<const void*>(so_->ControlDispatch()), open->args[2].pointer);

  // A second Open is refused and leaves the binding as it was.
  EXPECT_EQ(opos::OPOS_E_ILLEGAL, Open(kDevice));
  EXPECT_EQ(1, so_.Counters().createdObjects);
  EXPECT_EQ(1u, Count(L"OpenService"));
  EXPECT_EQ(0, Call(KR_DISPID_ClearOutput));
  EXPECT_EQ(1u, Count(L"ClearOutput"));
}

TEST_F(SessionTest, OpenFollowsALogicalNameMappingAndPassesTheKeyName) {
  ASSERT_EQ(ERROR_SUCCESS, config_.Map(L"FrontCounter", kDevice));
  EXPECT_EQ(0, Open(L"FrontCounter"));
  EXPECT_STREQ(kDevice, Last(L"OpenService")->args[1].text);
  EXPECT_EQ(0, Call(KR_DISPID_Close));

  // A braced class identifier is used without a ProgID lookup.
  ASSERT_EQ(ERROR_SUCCESS, config_.Device(L"ByClassId", TESTSO_CLSID_STRING));
  EXPECT_EQ(0, Open(L"ByClassId"));
  EXPECT_STREQ(L"ByClassId", Last(L"OpenService")->args[1].text);
  EXPECT_EQ(0, Call(KR_DISPID_Close));

  // An empty or null name reads the class key's default value, which an
  // installation sets to its default device.
  ASSERT_EQ(ERROR_SUCCESS, config_.Map(L"", kDevice));
  for (const wchar_t* name : {L"", static_cast<const wchar_t*>(nullptr)}) {
    EXPECT_EQ(0, Open(name));
    EXPECT_STREQ(kDevice, Last(L"OpenService")->args[1].text);
    EXPECT_EQ(0, Call(KR_DISPID_Close));
  }
  EXPECT_EQ(4, so_.Counters().createdObjects);
}

TEST_F(SessionTest, OpenReadsRegistryValuesOfAtMost99Characters) {
  const std::wstring key99(99, L'K');
  const std::wstring key100(100, L'L');
  ASSERT_EQ(ERROR_SUCCESS, config_.Device(key99, TESTSO_PROGID));
  ASSERT_EQ(ERROR_SUCCESS, config_.Map(L"Map99", key99));
  ASSERT_EQ(ERROR_SUCCESS, config_.Device(key100, TESTSO_PROGID));
  ASSERT_EQ(ERROR_SUCCESS, config_.Map(L"Map100", key100));
  EXPECT_EQ(0, Open(L"Map99"));
  EXPECT_EQ(key99, Last(L"OpenService")->args[1].text);
  EXPECT_EQ(0, Call(KR_DISPID_Close));
  // Too long to read: the logical name stands for itself, and has no key.
  EXPECT_EQ(opos::OPOS_E_NOEXIST, Open(L"Map100"));
  // The same limit for the Service Object's name: 99 characters are read
  // (and name no object), 100 are not.
  ASSERT_EQ(ERROR_SUCCESS, config_.Device(L"Prog99", std::wstring(99, L'P')));
  ASSERT_EQ(ERROR_SUCCESS, config_.Device(L"Prog100", std::wstring(100, L'P')));
  EXPECT_EQ(opos::OPOS_E_NOSERVICE, Open(L"Prog99"));
  EXPECT_EQ(opos::OPOS_E_NOEXIST, Open(L"Prog100"));
  EXPECT_EQ(1, so_.Counters().createdObjects);
}

TEST_F(SessionTest, OpenFailsWithoutAReadableConfiguration) {
  // No device key for the name, or an empty name without a default device.
  EXPECT_EQ(opos::OPOS_E_NOEXIST, Open(L"NoSuchDevice"));
  EXPECT_EQ(opos::OPOS_E_NOEXIST, Open(L""));
  EXPECT_EQ(opos::OPOS_E_NOEXIST, Open(nullptr));
  // A device key without a default value.
  BareDeviceKey bare(L"Bare");
  ASSERT_EQ(ERROR_SUCCESS, bare.result());
  EXPECT_EQ(opos::OPOS_E_NOEXIST, Open(L"Bare"));
  // No class key at all.
  ASSERT_EQ(ERROR_SUCCESS, kr_test::RemoveOposClassKey());
  EXPECT_EQ(opos::OPOS_E_NOEXIST, Open(kDevice));
  EXPECT_EQ(0, so_.Counters().createdObjects);
  EXPECT_EQ(opos::OPOS_E_CLOSED, Call(KR_DISPID_Close));
}

TEST_F(SessionTest, OpenFailsWhenTheServiceObjectCannotBeCreatedOrBound) {
  MessageBoxWatcher boxes(L"Kerunel", 5000);
  ASSERT_EQ(ERROR_SUCCESS, config_.Device(L"Unknown", L"No.Such.ProgId"));
  ASSERT_EQ(ERROR_SUCCESS,
            config_.Device(L"UnknownClass", L"{01234567-89AB-CDEF-0123-456789ABCDEF}"));
  ASSERT_EQ(ERROR_SUCCESS, config_.Device(L"Malformed", L"{not a class id}"));
  EXPECT_EQ(opos::OPOS_E_NOSERVICE, Open(L"Unknown"));
  EXPECT_EQ(opos::OPOS_E_NOSERVICE, Open(L"UnknownClass"));
  EXPECT_EQ(opos::OPOS_E_NOSERVICE, Open(L"Malformed"));

  // One missing name, even one the control never calls, refuses the object;
  // the names after it are not asked.
  ASSERT_TRUE(so_->LackName(L"SetPropertyString"));
  EXPECT_EQ(opos::OPOS_E_NOSERVICE, Open(kDevice));
  EXPECT_EQ(4u, so_->NameRequestCount());
  TestSoCounters c = so_.Counters();
  EXPECT_EQ(1, c.createdObjects);
  EXPECT_EQ(0, c.liveObjects);
  EXPECT_EQ(0u, Count(L"OpenService"));
  EXPECT_EQ(opos::OPOS_E_CLOSED, Call(KR_DISPID_Claim, Args().Long(0)));
  boxes.Stop();
  EXPECT_EQ(0u, boxes.Count());
}

TEST_F(SessionTest, OpenServiceResultDecidesTheOpen) {
  MessageBoxWatcher boxes(L"Kerunel", 10000);
  ASSERT_TRUE(so_->SetResult(L"OpenService", opos::OPOS_E_ILLEGAL));
  EXPECT_EQ(opos::OPOS_E_ILLEGAL, Open(kDevice));
  EXPECT_EQ(0, so_.Counters().liveObjects);
  EXPECT_EQ(0, so_.Counters().controlRefsHeld);
  EXPECT_EQ(opos::OPOS_E_CLOSED, Call(KR_DISPID_Close));

  // The next Open starts again from the registry with a fresh object.
  ASSERT_TRUE(so_->SetResult(L"OpenService", 0));
  EXPECT_EQ(0, Open(kDevice));
  EXPECT_EQ(2, so_.Counters().createdObjects);
  EXPECT_EQ(0, Call(KR_DISPID_Close));

  // A failed OpenService call is reported, and the object that never
  // opened is dropped: the control stays closed.
  ASSERT_TRUE(so_->FailInvoke(L"OpenService", E_FAIL));
  EXPECT_EQ(opos::OPOS_E_NOSERVICE, Open(kDevice));
  boxes.Stop();
  ASSERT_EQ(1u, boxes.Count());
  EXPECT_EQ(L"Problema con OpenService\n\n" + SystemText(E_FAIL), boxes.Texts()[0]);
  EXPECT_EQ(0, so_.Counters().liveObjects);
  EXPECT_EQ(0, so_.Counters().controlRefsHeld);
  EXPECT_EQ(opos::OPOS_E_CLOSED, Call(KR_DISPID_Claim, Args().Long(10)));
  EXPECT_EQ(0u, Count(L"Claim"));
}

TEST_F(SessionTest, CloseReturnsTheServiceValueAndAlwaysEndsTheBinding) {
  OpenDevice();
  ASSERT_TRUE(so_->SetResult(L"Close", opos::OPOS_E_FAILURE));
  EXPECT_EQ(opos::OPOS_E_FAILURE, Call(KR_DISPID_Close));
  TestSoCounters c = so_.Counters();
  EXPECT_EQ(0, c.liveObjects);
  EXPECT_EQ(0, c.controlRefsHeld);
  EXPECT_EQ(opos::OPOS_E_CLOSED, Call(KR_DISPID_Close));
  EXPECT_EQ(1u, Count(L"Close"));
  EXPECT_EQ(101, Get(KR_DISPID_State)->lVal);

  // A failed "Close" call is reported, yields 0, and ends the binding too.
  ASSERT_TRUE(so_->SetResult(L"Close", 0));
  OpenDevice();
  ASSERT_TRUE(so_->FailInvoke(L"Close", DISP_E_EXCEPTION));
  {
    MessageBoxWatcher boxes(L"Kerunel", 10000);
    EXPECT_EQ(0, Call(KR_DISPID_Close));
    boxes.Stop();
    ASSERT_EQ(1u, boxes.Count());
    EXPECT_EQ(L"Problema con Close\n\n" + SystemText(DISP_E_EXCEPTION), boxes.Texts()[0]);
  }
  EXPECT_EQ(0, so_.Counters().liveObjects);
  EXPECT_EQ(opos::OPOS_E_CLOSED, Call(KR_DISPID_Claim, Args().Long(0)));
}

TEST_F(SessionTest, ClaimReleaseAndCheckHealthReachTheirServiceMethods) {
  OpenDevice();
  ASSERT_TRUE(so_->SetResult(L"Claim", opos::OPOS_E_TIMEOUT));
  ASSERT_TRUE(so_->SetResult(L"Release", opos::OPOS_E_NOTCLAIMED));
  ASSERT_TRUE(so_->SetResult(L"CheckHealth", opos::OPOS_E_BUSY));
  EXPECT_EQ(opos::OPOS_E_TIMEOUT, Call(KR_DISPID_Claim, Args().Long(1500)));
  const TestSoCall* claim = Last(L"Claim");
  ASSERT_EQ(1u, claim->argCount);
  EXPECT_EQ(VT_I4, claim->args[0].vt);
  EXPECT_EQ(1500, claim->args[0].number);

  // Release_ calls the method "Release", not the reference count.
  EXPECT_EQ(opos::OPOS_E_NOTCLAIMED, Call(KR_DISPID_Release_));
  EXPECT_EQ(0u, Last(L"Release")->argCount);
  EXPECT_EQ(1, so_.Counters().objectRefs);

  EXPECT_EQ(opos::OPOS_E_BUSY, Call(KR_DISPID_CheckHealth, Args().Long(2)));
  EXPECT_EQ(2, Last(L"CheckHealth")->args[0].number);
  // Every call with the user's locale, as a method, without named arguments.
  for (const wchar_t* m : {L"Claim", L"Release", L"CheckHealth"}) {
    EXPECT_EQ(LOCALE_USER_DEFAULT, Last(m)->lcid) << m;
    EXPECT_EQ(DISPATCH_METHOD, Last(m)->flags) << m;
    EXPECT_EQ(0u, Last(m)->namedArgCount) << m;
    EXPECT_TRUE(Last(m)->wantsResult) << m;
  }
}

// The Service Object gets an object of its own to call back through: it
// answers as the control's dispatch interface does, but holding it does not
// keep the control alive.
TEST_F(SessionTest, TheServiceObjectCallsBackThroughAnObjectThatAnswersLikeTheControl) {
  OpenDevice();
  IDispatch* callbacks = so_->ControlDispatch();
  ASSERT_NE(nullptr, callbacks);
  {
    kr::ComPtr<IUnknown> controlIdentity, callbacksIdentity;
    ASSERT_EQ(S_OK, control_.QueryTo(IID_IUnknown, controlIdentity));
    ASSERT_EQ(S_OK, callbacks->QueryInterface(IID_IUnknown, callbacksIdentity.put_void()));
    EXPECT_NE(controlIdentity.get(), callbacksIdentity.get());
    kr::ComPtr<IDispatch> typed;
    EXPECT_EQ(S_OK, callbacks->QueryInterface(kr::kDispatchIid, typed.put_void()));
    kr::ComPtr<IUnknown> embedding;
    EXPECT_EQ(E_NOINTERFACE, callbacks->QueryInterface(IID_IOleObject, embedding.put_void()));
  }

  for (const wchar_t* name : {L"SOStatusUpdate", L"soerror", L"CheckHealthText", L"AboutBox"}) {
    const ctl::NameResult mine = ctl::Resolve(callbacks, name, 0);
    const ctl::NameResult control = ctl::Resolve(control_.get(), name, 0);
    EXPECT_EQ(control.hr, mine.hr) << name;
    EXPECT_EQ(control.dispid, mine.dispid) << name;
  }
  EXPECT_EQ(DISP_E_UNKNOWNNAME, ctl::Resolve(callbacks, L"NoSuchMember", 0).hr);
  kr::ComPtr<ITypeInfo> info;
  ASSERT_EQ(S_OK, callbacks->GetTypeInfo(0, 0, info.put()));
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(kr::kDispatchIid, attr->guid));
  info->ReleaseTypeAttr(attr);

  // Calls go to the control: a property read, and a callback's result.
  kr::UniqueVariant version;
  EXPECT_EQ(S_OK, ctl::GetProperty(callbacks, KR_DISPID_ControlObjectVersion, version.get()));
  EXPECT_EQ(1000003, version->lVal);
  so_->SetNumberProperty(opos::PIDX_State, 2);
  kr::UniqueVariant state;
  EXPECT_EQ(S_OK, ctl::GetProperty(callbacks, KR_DISPID_State, state.get()));
  EXPECT_EQ(2, state->lVal);

  // Kept past the control's end, it still answers: callbacks reach no one.
  kr::ComPtr<IDispatch> kept(callbacks);
  control_.reset();
  EXPECT_EQ(0, so_.Counters().liveObjects);
  EXPECT_EQ(S_OK,
            ctl::InvokeMethod(kept.get(), KR_DISPID_SOStatusUpdate, Args().Long(24), nullptr));
  kr::UniqueVariant pid;
  Args none;
  EXPECT_EQ(S_OK, ctl::InvokeMethod(kept.get(), KR_DISPID_SOProcessID, none, pid.get()));
  EXPECT_EQ(0, pid->lVal);
  EXPECT_EQ(CO_E_OBJNOTCONNECTED, ctl::GetProperty(kept.get(), KR_DISPID_State, state.put()));
  kept.reset();
  EXPECT_EQ(S_OK, ctl::CanUnloadNow(module_.get()));
}

TEST_F(SessionTest, DestroyingAnOpenControlClosesTheServiceObject) {
  // The Service Object holds what it was handed in "OpenService", yet the
  // application's last release destroys the control.
  OpenDevice();
  control_.reset();
  EXPECT_EQ(1u, Count(L"Close"));
  EXPECT_EQ(0, so_.Counters().liveObjects);
  EXPECT_EQ(0, so_.Counters().controlRefsHeld);
  EXPECT_EQ(S_OK, ctl::CanUnloadNow(module_.get()));

  // A failing "Close" on the way out is reported as usual.
  ASSERT_EQ(S_OK, kr_test::CreateFromModule(L"Kerunel.ocx", kr::kControlClsid, IID_IDispatch,
                                            control_.put_void(), module_));
  OpenDevice();
  ASSERT_TRUE(so_->FailInvoke(L"Close", E_FAIL));
  MessageBoxWatcher boxes(L"Kerunel", 10000);
  control_.reset();
  boxes.Stop();
  ASSERT_EQ(1u, boxes.Count());
  EXPECT_EQ(0u, boxes.Texts()[0].find(L"Problema con Close\n\n"));
  EXPECT_EQ(0, so_.Counters().liveObjects);
}

TEST_F(SessionTest, OpenCloseCyclesLeaveNoReferencesOrStrings) {
  so_->SetStringProperty(opos::PIDX_DeviceName, L"Test printer");
  so_->SetNumberProperty(opos::PIDX_State, 2);
  auto cycle = [&] {
    OpenDevice();
    EXPECT_STREQ(L"Test printer", Get(KR_DISPID_DeviceName)->bstrVal);
    EXPECT_EQ(2, Get(KR_DISPID_State)->lVal);
    EXPECT_EQ(
        0,
        Call(KR_DISPID_PrintRecItem,
             Args().Text(L"Bread").Currency(12500).Long(1000).Long(1).Currency(12500).Text(L"kg")));
    BSTR date = nullptr;
    EXPECT_EQ(0, Call(KR_DISPID_GetDate, Args().TextRef(&date)));
    SysFreeString(date);
    EXPECT_EQ(0, Call(KR_DISPID_Close));
  };
  ASSERT_TRUE(so_->SetOutputText(L"GetDate", L"080120261230"));
  cycle();  // first use: factories, registry and type caches
  kr_test::AllocationSpy spy;
  ASSERT_TRUE(spy.Active());
  spy.Mark();
  for (int i = 0; i < 3; ++i) cycle();
  EXPECT_EQ(0u, spy.LiveSinceMark()) << spy.DescribeLiveSinceMark();
  TestSoCounters c = so_.Counters();
  EXPECT_EQ(0, c.liveObjects);
  EXPECT_EQ(0, c.objectRefs);
  EXPECT_EQ(0, c.controlRefsHeld);
  EXPECT_EQ(4, c.createdObjects);
  EXPECT_EQ(1u, ctl::RefCount(control_.get()));
}

}  // namespace
