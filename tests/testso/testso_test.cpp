// The test Service Object on its own: what the control's tests rely on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com_server.h"
#include "support.h"

namespace {

using kr::ComPtr;
using kr::UniqueBstr;
using kr::UniqueVariant;

// A stand-in for the control's dispatch: answers the five callback names,
// records what arrives, and answers the by-reference arguments like an
// application's event handlers would.
class FakeControl final : public kr::NoTypeInfo<> {
 public:
  struct Received {
    DISPID id;
    LCID lcid;
    std::vector<VARTYPE> types;  // call order
    std::vector<LONG> numbers;   // call order (by-reference: the value pointed to)
    std::wstring text;           // the by-reference string as received
  };
  ULONG refs = 1;
  std::vector<std::wstring> namesAsked;
  std::vector<LCID> nameLocales;
  std::vector<Received> received;
  LONG errorResponse = 12;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID lcid,
                                          DISPID* ids) override {
    static const wchar_t* const kNames[] = {L"SODirectIO", L"SOError", L"SOOutputComplete",
                                            L"SOStatusUpdate", L"SOProcessID"};
    namesAsked.emplace_back(names[0]);
    nameLocales.push_back(lcid);
    for (int i = 0; i < 5; ++i) {
      if (wcscmp(names[0], kNames[i]) == 0) {
        ids[0] = 149 + i;
        return S_OK;
      }
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID lcid, WORD, DISPPARAMS* p,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    Received r{id, lcid, {}, {}, {}};
    for (UINT i = p->cArgs; i-- > 0;) {
      VARIANT& v = p->rgvarg[i];
      r.types.push_back(v.vt);
      if (v.vt == VT_I4) r.numbers.push_back(v.lVal);
      if (v.vt == (VT_BYREF | VT_I4)) r.numbers.push_back(*v.plVal);
      if (v.vt == (VT_BYREF | VT_BSTR) && *v.pbstrVal) r.text = *v.pbstrVal;
    }
    received.push_back(r);
    if (id == 150) *p->rgvarg[0].plVal = errorResponse;  // SOError: the application answers
    if (id == 149) {                                     // SODirectIO: the handler rewrites both
      *p->rgvarg[1].plVal += 1;
      SysFreeString(*p->rgvarg[0].pbstrVal);
      *p->rgvarg[0].pbstrVal = SysAllocString(L"rewritten");
    }
    if (id == 153 && result) {
      result->vt = VT_I4;
      result->lVal = 0;
    }
    return S_OK;
  }
};

class TestSoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(so_) << "TestServiceObject.dll not loadable";
    ASSERT_EQ(S_OK, so_.Register());
    so_->Reset();
  }
  void TearDown() override {
    if (so_) so_->Reset();
  }

  ComPtr<IDispatch> Create() {
    CLSID clsid;
    ComPtr<IDispatch> d;
    if (SUCCEEDED(CLSIDFromProgID(TESTSO_PROGID, &clsid))) {
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, d.put_void());
    }
    return d;
  }
  static DISPID Id(IDispatch* d, const wchar_t* name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_SYSTEM_DEFAULT, &id);
    return id;
  }
  // Invokes a method with arguments given in call order.
  static HRESULT Call(IDispatch* d, const wchar_t* name, std::vector<VARIANT> args,
                      VARIANT* result = nullptr) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS p = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return d->Invoke(Id(d, name), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &p, result,
                     nullptr, nullptr);
  }
  static VARIANT I4(LONG v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I4;
    x.lVal = v;
    return x;
  }
  static VARIANT Str(BSTR s) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BSTR;
    x.bstrVal = s;
    return x;
  }

  kr::ComInit com_;
  kr_test::TestSo so_;
};

TEST_F(TestSoTest, CreatedByProgIdAndClassIdAndCountsItsReferences) {
  {
    ComPtr<IDispatch> a = Create();
    ASSERT_TRUE(a);
    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromString(TESTSO_CLSID_STRING, &clsid));
    ComPtr<IDispatch> b;
    ASSERT_EQ(S_OK,
              CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, b.put_void()));
    TestSoCounters c = so_.Counters();
    EXPECT_EQ(2, c.liveObjects);
    EXPECT_EQ(2, c.objectRefs);
    EXPECT_EQ(2, c.createdObjects);
    ComPtr<IDispatch> a2 = a;
    EXPECT_EQ(3, so_.Counters().objectRefs);
  }
  TestSoCounters c = so_.Counters();
  EXPECT_EQ(0, c.liveObjects);
  EXPECT_EQ(0, c.objectRefs);

  // Unregistered, the ProgID is gone; registered again, it is back.
  ASSERT_EQ(S_OK, so_.Unregister());
  CLSID clsid;
  EXPECT_NE(S_OK, CLSIDFromProgID(TESTSO_PROGID, &clsid));
  ASSERT_EQ(S_OK, so_.Register());
  EXPECT_EQ(S_OK, CLSIDFromProgID(TESTSO_PROGID, &clsid));
}

TEST_F(TestSoTest, AnswersAllNamesIgnoringCaseAndCanLackOne) {
  ComPtr<IDispatch> d = Create();
  ASSERT_TRUE(d);
  const wchar_t* names[] = {L"GetPropertyNumber", L"SetPropertyString", L"OpenService",
                            L"Release",           L"COFreezeEvents",    L"ResetPrinter"};
  std::vector<DISPID> ids;
  for (const wchar_t* n : names) ids.push_back(Id(d.get(), n));
  EXPECT_EQ(1, ids[0]);
  EXPECT_EQ(61, ids[5]);
  for (DISPID id : ids) EXPECT_GT(id, 0);
  EXPECT_EQ(Id(d.get(), L"PrintRecItem"), Id(d.get(), L"printrecitem"));
  EXPECT_EQ(DISPID_UNKNOWN, Id(d.get(), L"Release_"));

  ASSERT_TRUE(so_->LackName(L"SetPropertyString"));
  EXPECT_EQ(DISPID_UNKNOWN, Id(d.get(), L"SetPropertyString"));
  EXPECT_EQ(ids[2], Id(d.get(), L"OpenService"));
  EXPECT_FALSE(so_->LackName(L"NoSuchMethod"));

  const UINT n = so_->NameRequestCount();
  ASSERT_GE(n, 3u);
  const TestSoNameRequest* last = so_->NameRequest(n - 1);
  EXPECT_STREQ(L"OpenService", last->name);
  EXPECT_EQ(LOCALE_SYSTEM_DEFAULT, last->lcid);
  EXPECT_TRUE(last->riidIsNull);
  EXPECT_EQ(DISP_E_UNKNOWNNAME, so_->NameRequest(n - 2)->hr);
  EXPECT_EQ(nullptr, so_->NameRequest(n));
}

TEST_F(TestSoTest, RecordsArgumentsInCallOrderWithTypesAndValues) {
  ComPtr<IDispatch> d = Create();
  ASSERT_TRUE(d);
  UniqueBstr desc(SysAllocString(L"Bread"));
  UniqueBstr empty(SysAllocString(L""));
  VARIANT price;
  VariantInit(&price);
  price.vt = VT_CY;
  price.cyVal.int64 = 125000;
  UniqueVariant result;
  ASSERT_EQ(S_OK, Call(d.get(), L"PrintRecItem",
                       {Str(desc.get()), price, I4(3), I4(2), price, Str(nullptr)}, result.get()));
  EXPECT_EQ(VT_I4, result->vt);
  EXPECT_EQ(0, result->lVal);
  ASSERT_EQ(S_OK, Call(d.get(), L"PrintRecMessage", {Str(empty.get())}));

  ASSERT_EQ(2u, so_->CallCount());
  const TestSoCall* c = so_->Call(0);
  EXPECT_STREQ(L"PrintRecItem", c->method);
  EXPECT_EQ(LOCALE_USER_DEFAULT, c->lcid);
  EXPECT_EQ(DISPATCH_METHOD, c->flags);
  EXPECT_TRUE(c->riidIsNull);
  EXPECT_TRUE(c->wantsResult);
  ASSERT_EQ(6u, c->argCount);
  EXPECT_EQ(VT_BSTR, c->args[0].vt);
  EXPECT_STREQ(L"Bread", c->args[0].text);
  EXPECT_EQ(desc.get(), c->args[0].pointer);
  EXPECT_EQ(VT_CY, c->args[1].vt);
  EXPECT_EQ(125000, c->args[1].currency);
  EXPECT_EQ(3, c->args[2].number);
  EXPECT_EQ(2, c->args[3].number);
  EXPECT_EQ(VT_BSTR, c->args[5].vt);
  EXPECT_EQ(nullptr, c->args[5].text);  // null string
  const TestSoCall* m = so_->Call(1);
  EXPECT_FALSE(m->wantsResult);
  ASSERT_NE(nullptr, m->args[0].text);  // empty, not null
  EXPECT_EQ(0u, m->args[0].textLength);

  EXPECT_EQ(1u, so_->CountCalls(L"printrecitem"));
  EXPECT_EQ(m, so_->LastCall(L"PrintRecMessage"));
  EXPECT_EQ(nullptr, so_->LastCall(L"Close"));

  // An unknown DISPID is refused and still recorded.
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
            d->Invoke(999, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, so_->Call(2)->hr);
}

TEST_F(TestSoTest, AnswersProgrammedResultsPropertiesAndFailures) {
  ComPtr<IDispatch> d = Create();
  ASSERT_TRUE(d);
  UniqueVariant r;
  ASSERT_TRUE(so_->SetResult(L"OpenService", 106));
  ASSERT_EQ(S_OK, Call(d.get(), L"OpenService", {}, r.put()));
  EXPECT_EQ(106, r->lVal);
  ASSERT_TRUE(so_->SetResultVariant(L"Claim", VT_I2, 7));
  ASSERT_EQ(S_OK, Call(d.get(), L"Claim", {I4(1000)}, r.put()));
  EXPECT_EQ(VT_I2, r->vt);
  EXPECT_EQ(7, r->iVal);
  EXPECT_FALSE(so_->SetResultVariant(L"Claim", VT_BSTR, 0));

  so_->SetNumberProperty(6, 114);
  ASSERT_EQ(S_OK, Call(d.get(), L"GetPropertyNumber", {I4(6)}, r.put()));
  EXPECT_EQ(114, r->lVal);
  ASSERT_EQ(S_OK, Call(d.get(), L"SetPropertyNumber", {I4(3), I4(1)}));
  ASSERT_EQ(S_OK, Call(d.get(), L"GetPropertyNumber", {I4(3)}, r.put()));
  EXPECT_EQ(1, r->lVal);
  ASSERT_EQ(S_OK, Call(d.get(), L"GetPropertyNumber", {I4(16001)}, r.put()));
  EXPECT_EQ(0, r->lVal);

  so_->SetStringProperty(1000003, L"FPrinter");
  ASSERT_EQ(S_OK, Call(d.get(), L"GetPropertyString", {I4(1000003)}, r.put()));
  ASSERT_EQ(VT_BSTR, r->vt);
  EXPECT_STREQ(L"FPrinter", r->bstrVal);
  so_->SetStringProperty(1016001, nullptr);
  ASSERT_EQ(S_OK, Call(d.get(), L"GetPropertyString", {I4(1016001)}, r.put()));
  EXPECT_EQ(nullptr, r->bstrVal);
  ASSERT_EQ(S_OK, Call(d.get(), L"GetPropertyString", {I4(1000001)}, r.put()));
  ASSERT_NE(nullptr, r->bstrVal);
  EXPECT_EQ(0u, SysStringLen(r->bstrVal));
  EXPECT_EQ(2, so_.Counters().bstrsHandedOut);

  ASSERT_TRUE(so_->FailInvoke(L"PrintNormal", DISP_E_TYPEMISMATCH));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(d.get(), L"PrintNormal", {I4(2), I4(0)}));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, so_->LastCall(L"PrintNormal")->hr);
  ASSERT_TRUE(so_->FailInvoke(L"PrintNormal", S_OK));
  EXPECT_EQ(S_OK, Call(d.get(), L"PrintNormal", {I4(2), I4(0)}));

  so_->Reset();
  ASSERT_EQ(S_OK, Call(d.get(), L"OpenService", {}, r.put()));
  EXPECT_EQ(0, r->lVal);
  EXPECT_EQ(1u, so_->CallCount());
}

TEST_F(TestSoTest, WritesByReferenceOutputsIntoCallersVariables) {
  ComPtr<IDispatch> d = Create();
  ASSERT_TRUE(d);
  ASSERT_TRUE(so_->SetOutputNumber(L"DirectIO", 42));
  ASSERT_TRUE(so_->SetOutputText(L"DirectIO", L"answer"));
  LONG data = 5;
  BSTR text = SysAllocString(L"question");
  VARIANT pData, pString;
  VariantInit(&pData);
  pData.vt = VT_BYREF | VT_I4;
  pData.plVal = &data;
  VariantInit(&pString);
  pString.vt = VT_BYREF | VT_BSTR;
  pString.pbstrVal = &text;
  ASSERT_EQ(S_OK, Call(d.get(), L"DirectIO", {I4(1), pData, pString}));
  EXPECT_EQ(42, data);
  EXPECT_STREQ(L"answer", text);
  const TestSoCall* c = so_->LastCall(L"DirectIO");
  EXPECT_EQ(&data, c->args[1].pointer);
  EXPECT_EQ(5, c->args[1].number);  // the value as it came in
  EXPECT_EQ(&text, c->args[2].pointer);
  EXPECT_STREQ(L"question", c->args[2].text);
  TestSoCounters counters = so_.Counters();
  EXPECT_EQ(1, counters.callerBstrsFreed);
  EXPECT_EQ(1, counters.bstrsHandedOut);

  // A null output replaces the caller's string with a null one.
  ASSERT_TRUE(so_->SetOutputText(L"GetDate", nullptr));
  pString.pbstrVal = &text;
  ASSERT_EQ(S_OK, Call(d.get(), L"GetDate", {pString}));
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ(2, so_.Counters().callerBstrsFreed);
}

TEST_F(TestSoTest, CallsBackDuringCallsAndOnDemandAndHoldsTheControlUntilClose) {
  ComPtr<IDispatch> d = Create();
  ASSERT_TRUE(d);
  FakeControl control;
  VARIANT disp;
  VariantInit(&disp);
  disp.vt = VT_DISPATCH;
  disp.pdispVal = &control;
  UniqueBstr cls(SysAllocString(L"Kerunel")), name(SysAllocString(L"FP1"));
  ASSERT_EQ(S_OK, Call(d.get(), L"OpenService", {Str(cls.get()), Str(name.get()), disp}));
  EXPECT_EQ(2u, control.refs);  // the object took its own reference
  EXPECT_EQ(&control, so_->ControlDispatch());
  EXPECT_EQ(1, so_.Counters().controlRefsHeld);

  TestSoCallback status{TESTSO_CB_STATUS_UPDATE, {24, 0, 0}, 0, nullptr};
  TestSoCallback error{TESTSO_CB_ERROR, {114, 201, 2}, 11, nullptr};
  ASSERT_TRUE(so_->AddCallback(L"PrintNormal", &status));
  ASSERT_TRUE(so_->AddCallback(L"PrintNormal", &error));
  ASSERT_EQ(S_OK, Call(d.get(), L"PrintNormal", {I4(2), I4(0)}));

  ASSERT_EQ(2u, control.received.size());
  EXPECT_EQ(152, control.received[0].id);
  EXPECT_EQ(std::vector<LONG>({24}), control.received[0].numbers);
  EXPECT_EQ(std::vector<LCID>({0, 0}), control.nameLocales);
  EXPECT_EQ(150, control.received[1].id);
  EXPECT_EQ(std::vector<VARTYPE>({VT_I4, VT_I4, VT_I4, VT_BYREF | VT_I4}),
            control.received[1].types);
  EXPECT_EQ(std::vector<LONG>({114, 201, 2, 11}), control.received[1].numbers);
  ASSERT_EQ(2u, so_->CallbackResultCount());
  const TestSoCallbackResult* er = so_->CallbackResult(1);
  EXPECT_STREQ(L"PrintNormal", er->trigger);
  EXPECT_EQ(S_OK, er->hr);
  EXPECT_EQ(12, er->refNumber);  // the application's answer

  TestSoCallback dio{TESTSO_CB_DIRECT_IO, {7, 0, 0}, 100, L"original"};
  ASSERT_EQ(S_OK, so_->MakeCallback(&dio));
  const TestSoCallbackResult* dr = so_->CallbackResult(2);
  EXPECT_EQ(nullptr, dr->trigger);
  EXPECT_EQ(101, dr->refNumber);
  EXPECT_STREQ(L"rewritten", dr->refText);
  EXPECT_EQ(L"original", control.received[2].text);
  TestSoCallback pid{TESTSO_CB_PROCESS_ID, {}, 0, nullptr};
  ASSERT_EQ(S_OK, so_->MakeCallback(&pid));
  EXPECT_EQ(VT_I4, so_->CallbackResult(3)->resultVt);

  ASSERT_EQ(S_OK, Call(d.get(), L"Close", {}));
  EXPECT_EQ(1u, control.refs);
  EXPECT_EQ(nullptr, so_->ControlDispatch());
  EXPECT_EQ(0, so_.Counters().controlRefsHeld);
  EXPECT_EQ(E_POINTER, so_->MakeCallback(&pid));

  // Told not to hold it, the object takes no reference; destruction drops a held one.
  so_->SetHoldControl(FALSE);
  ASSERT_EQ(S_OK, Call(d.get(), L"OpenService", {Str(cls.get()), Str(name.get()), disp}));
  EXPECT_EQ(1u, control.refs);
  so_->SetHoldControl(TRUE);
  ASSERT_EQ(S_OK, Call(d.get(), L"OpenService", {Str(cls.get()), Str(name.get()), disp}));
  EXPECT_EQ(2u, control.refs);
  d.reset();
  EXPECT_EQ(1u, control.refs);
}

TEST_F(TestSoTest, BenchModeCopiesWithoutRecording) {
  ComPtr<IDispatch> d = Create();
  ASSERT_TRUE(d);
  so_->SetNumberProperty(6, 3);
  so_->SetBenchMode(TRUE);
  UniqueBstr desc(SysAllocString(L"Item"));
  UniqueVariant r;
  ASSERT_EQ(S_OK, Call(d.get(), L"PrintRecMessage", {Str(desc.get())}, r.put()));
  EXPECT_EQ(0, r->lVal);
  ASSERT_EQ(S_OK, Call(d.get(), L"GetPropertyNumber", {I4(6)}, r.put()));
  EXPECT_EQ(3, r->lVal);
  EXPECT_EQ(0u, so_->CallCount());
  EXPECT_EQ(0u, so_->NameRequestCount());
}

}  // namespace
