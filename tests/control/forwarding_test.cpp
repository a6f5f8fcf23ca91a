// Forwarded methods and routed properties while open, checked on the test
// Service Object's side: names, argument types and values, results, and
// the failure report.
#include <string>

#include "control_fixture.h"
#include "member_table.h"
#include "opos.h"
#include "service_methods.h"

namespace {

using ctl::Args;
using ctl::SystemText;
using ctl::Variant;
using kr_test::MessageBoxWatcher;

std::wstring Wide(const char* s) {
  return std::wstring(s, s + strlen(s));
}

class ForwardingTest : public ctl::ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (!HasFatalFailure()) OpenDevice();
  }
  const TestSoCall* LastOf(const kr::Member& m) const {
    return Last(kr::kServiceMethods[m.service].name);
  }
};

TEST_F(ForwardingTest, EveryMethodCallsItsServiceMethodWithItsArgumentsInOrder) {
  int checked = 0;
  for (const kr::Member& m : kr::kMembers) {
    if (m.action != kr::MemberAction::kForward) continue;
    SCOPED_TRACE(m.name);
    const wchar_t* service = kr::kServiceMethods[m.service].name;
    ASSERT_TRUE(so_->SetResult(service, 200 + m.service));
    LONG number = 5;
    BSTR text = SysAllocString(L"mine");
    Args args;
    ctl::SampleArgs(m, args, &number, &text);
    EXPECT_EQ(200 + m.service, Call(m.dispid, args));
    const TestSoCall* call = LastOf(m);
    ASSERT_NE(nullptr, call);
    EXPECT_EQ(1u, Count(service));
    EXPECT_EQ(LOCALE_USER_DEFAULT, call->lcid);
    EXPECT_EQ(DISPATCH_METHOD, call->flags);
    EXPECT_EQ(0u, call->namedArgCount);
    ASSERT_EQ(m.paramCount, call->argCount);
    for (UINT i = 0; i < m.paramCount; ++i) {
      SCOPED_TRACE(m.params[i].name);
      const TestSoArg& a = call->args[i];
      EXPECT_EQ(m.params[i].type, a.vt);
      switch (m.params[i].type) {
        case VT_I4:
          EXPECT_EQ(1000 + static_cast<LONG>(i), a.number);
          break;
        case VT_BSTR:
          EXPECT_EQ(L"arg" + std::to_wstring(i), a.text ? a.text : L"(null)");
          break;
        case VT_BOOL:
          EXPECT_EQ(1, a.number);  // true arrives as 1
          break;
        case VT_CY:
          EXPECT_EQ(10000LL * (i + 1), a.currency);
          break;
        case VT_BYREF | VT_I4:
          EXPECT_EQ(static_cast<const void*>(&number), a.pointer);
          break;
        case VT_BYREF | VT_BSTR:
          EXPECT_EQ(static_cast<const void*>(&text), a.pointer);
          break;
      }
    }
    // Without programmed outputs the caller's variables stay as they were.
    EXPECT_EQ(5, number);
    EXPECT_STREQ(L"mine", text);
    SysFreeString(text);
    ++checked;
  }
  EXPECT_EQ(54, checked);  // and Close, which ends the session
}

TEST_F(ForwardingTest, MarshalsBooleansCurrencyAndStringsAsTheServiceObjectExpects) {
  // Booleans: true arrives as 1; a long (the type library's type) is a boolean.
  EXPECT_EQ(0, Call(KR_DISPID_BeginFiscalReceipt, Args().Bool(true)));
  EXPECT_EQ(VT_BOOL, Last(L"BeginFiscalReceipt")->args[0].vt);
  EXPECT_EQ(1, Last(L"BeginFiscalReceipt")->args[0].number);
  EXPECT_EQ(0, Call(KR_DISPID_BeginFiscalReceipt, Args().Long(2)));
  EXPECT_EQ(1, Last(L"BeginFiscalReceipt")->args[0].number);
  EXPECT_EQ(0, Call(KR_DISPID_EndFiscalReceipt, Args().Bool(false)));
  EXPECT_EQ(0, Last(L"EndFiscalReceipt")->args[0].number);
  EXPECT_EQ(0, Call(KR_DISPID_SetHeaderLine, Args().Long(1).Text(L"Shop").Long(256)));
  EXPECT_EQ(1, Last(L"SetHeaderLine")->args[2].number);

  // Currency: 12.50 is 125000, however the caller writes it.
  EXPECT_EQ(0,
            Call(KR_DISPID_PrintRecTotal, Args().Currency(125000).Currency(200000).Text(L"Cash")));
  EXPECT_EQ(125000, Last(L"PrintRecTotal")->args[0].currency);
  VARIANT amount;
  VariantInit(&amount);
  amount.vt = VT_R8;
  amount.dblVal = 12.5;
  EXPECT_EQ(0, Call(KR_DISPID_PrintRecSubtotal, Args().Value(amount)));
  EXPECT_EQ(VT_CY, Last(L"PrintRecSubtotal")->args[0].vt);
  EXPECT_EQ(125000, Last(L"PrintRecSubtotal")->args[0].currency);

  // Strings: null stays null, empty stays empty.
  EXPECT_EQ(
      0,
      Call(KR_DISPID_PrintRecItem,
           Args().Text(L"Bread").Currency(12500).Long(1000).Long(1).Currency(12500).Text(nullptr)));
  EXPECT_EQ(VT_BSTR, Last(L"PrintRecItem")->args[5].vt);
  EXPECT_EQ(nullptr, Last(L"PrintRecItem")->args[5].text);
  EXPECT_EQ(
      0, Call(KR_DISPID_PrintRecItem,
              Args().Text(L"Bread").Currency(12500).Long(1000).Long(1).Currency(12500).Text(L"")));
  ASSERT_NE(nullptr, Last(L"PrintRecItem")->args[5].text);
  EXPECT_EQ(0u, Last(L"PrintRecItem")->args[5].textLength);
  // Pure ASCII reads the same after the round trip through the code page, so
  // the caller's own string is handed on; an embedded NUL or text beyond
  // ASCII travels as a new string of the control's.
  struct TextCase {
    std::wstring text;
    const wchar_t* arrives;  // nullptr: decided by the code page
    bool callersOwn;
  };
  const TextCase texts[] = {
      {L"Milk", L"Milk", true},
      {std::wstring(L"Milk\0junk", 9), L"Milk", false},
      {L"Caf\u00e9", nullptr, false},
  };
  for (const TextCase& t : texts) {
    kr::UniqueVariant value;
    value->vt = VT_BSTR;
    value->bstrVal = SysAllocStringLen(t.text.data(), static_cast<UINT>(t.text.size()));
    Args own;
    own.Value(*value.get());
    DISPPARAMS p = own.Params();
    kr::UniqueVariant result;
    ASSERT_EQ(S_OK, control_->Invoke(KR_DISPID_PrintRecMessage, IID_NULL, 0, DISPATCH_METHOD, &p,
                                     result.get(), nullptr, nullptr));
    const TestSoArg& arrived = Last(L"PrintRecMessage")->args[0];
    if (t.arrives) {
      EXPECT_STREQ(t.arrives, arrived.text);
    }
    EXPECT_EQ(t.callersOwn, static_cast<const void*>(p.rgvarg[0].bstrVal) == arrived.pointer)
        << arrived.textLength;
  }

  // Text goes through the thread's ANSI code page.
  if (GetACP() == 1252) {
    EXPECT_EQ(0, Call(KR_DISPID_PrintRecMessage, Args().Text(L"Caf\u00e9 \u0416")));
    EXPECT_STREQ(L"Caf\u00e9 ?", Last(L"PrintRecMessage")->args[0].text);
  }
}

TEST_F(ForwardingTest, ByReferenceOutputsLandInTheCallersVariables) {
  ASSERT_TRUE(so_->SetOutputNumber(L"DirectIO", 42));
  ASSERT_TRUE(so_->SetOutputText(L"DirectIO", L"answer"));
  ASSERT_TRUE(so_->SetOutputText(L"GetDate", L"080120261230"));
  ASSERT_TRUE(so_->SetOutputNumber(L"GetVatEntry", 2200));
  ASSERT_TRUE(so_->SetOutputText(L"GetTotalizer", L"1234.50"));
  ASSERT_TRUE(so_->SetOutputNumber(L"GetData", 3));
  ASSERT_TRUE(so_->SetOutputText(L"GetData", L"0042"));

  LONG data = 1;
  BSTR text = SysAllocString(L"question");
  EXPECT_EQ(0, Call(KR_DISPID_DirectIO, Args().Long(9).LongRef(&data).TextRef(&text)));
  EXPECT_EQ(42, data);
  EXPECT_STREQ(L"answer", text);
  EXPECT_EQ(1, so_.Counters().callerBstrsFreed);  // the Service Object replaced ours

  BSTR date = nullptr;
  EXPECT_EQ(0, Call(KR_DISPID_GetDate, Args().TextRef(&date)));
  EXPECT_STREQ(L"080120261230", date);

  LONG rate = 0;
  EXPECT_EQ(0, Call(KR_DISPID_GetVatEntry, Args().Long(1).Long(0).LongRef(&rate)));
  EXPECT_EQ(2200, rate);

  BSTR total = nullptr;
  EXPECT_EQ(0, Call(KR_DISPID_GetTotalizer, Args().Long(1).Long(0).TextRef(&total)));
  EXPECT_STREQ(L"1234.50", total);

  // A variant passed by reference, as script hosts pass variables.
  VARIANT optArgs, dataText;
  VariantInit(&optArgs);
  VariantInit(&dataText);
  optArgs.vt = VT_I4;
  optArgs.lVal = 0;
  dataText.vt = VT_BSTR;
  dataText.bstrVal = nullptr;
  VARIANT optRef, dataRef;
  optRef.vt = dataRef.vt = VT_BYREF | VT_VARIANT;
  optRef.pvarVal = &optArgs;
  dataRef.pvarVal = &dataText;
  EXPECT_EQ(0, Call(KR_DISPID_GetData, Args().Long(5).Value(optRef).Value(dataRef)));
  EXPECT_EQ(3, optArgs.lVal);
  EXPECT_STREQ(L"0042", dataText.bstrVal);
  VariantClear(&dataText);
  SysFreeString(text);
  SysFreeString(date);
  SysFreeString(total);
}

// Script hosts pass their variables as variants by reference, whatever they
// hold. A variable that converts takes the parameter's type in place and
// gets the output; one that does not is refused and left as it was.
TEST_F(ForwardingTest, ScriptVariablesPassedByReferenceTakeTheParameterTypeInPlace) {
  ASSERT_TRUE(so_->SetOutputNumber(L"GetData", 3));
  ASSERT_TRUE(so_->SetOutputText(L"GetData", L"0042"));
  auto make = [](VARTYPE vt, LONG number, const wchar_t* text) {
    Variant v;
    v->vt = vt;
    if (vt == VT_BSTR) v->bstrVal = SysAllocString(text);
    if (vt == VT_I2) v->iVal = static_cast<SHORT>(number);
    if (vt == VT_R8) v->dblVal = number;
    if (vt == VT_BOOL) v->boolVal = number ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
  };
  struct Case {
    const char* what;
    VARTYPE optVt;  // the long's variable
    LONG optNumber;
    const wchar_t* optText;
    VARTYPE dataVt;  // the string's variable
    HRESULT hr;      // S_OK: both variables hold the outputs afterwards
  };
  const Case cases[] = {
      {"empty variables", VT_EMPTY, 0, nullptr, VT_EMPTY, S_OK},
      {"Integer and Integer", VT_I2, 7, nullptr, VT_I2, S_OK},
      {"Double and Boolean", VT_R8, 2, nullptr, VT_BOOL, S_OK},
      {"a number in a string", VT_BSTR, 0, L"12", VT_BSTR, S_OK},
      {"letters for the long", VT_BSTR, 0, L"abc", VT_EMPTY, DISP_E_TYPEMISMATCH},
      {"Null for the long", VT_NULL, 0, nullptr, VT_EMPTY, DISP_E_TYPEMISMATCH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Variant opt = make(c.optVt, c.optNumber, c.optText);
    Variant data = make(c.dataVt, 1, L"old");
    VARIANT optRef, dataRef;
    optRef.vt = dataRef.vt = VT_BYREF | VT_VARIANT;
    optRef.pvarVal = opt.get();
    dataRef.pvarVal = data.get();
    Args args;
    args.Long(5).Value(optRef).Value(dataRef);
    const UINT callsBefore = Count(L"GetData");
    kr::UniqueVariant result;
    UINT argErr = 99;
    EXPECT_EQ(c.hr, ctl::InvokeMethod(control_.get(), KR_DISPID_GetData, args, result.get(),
                                      nullptr, &argErr));
    if (c.hr == S_OK) {
      EXPECT_EQ(callsBefore + 1, Count(L"GetData"));
      EXPECT_EQ(VT_I4, opt->vt);
      EXPECT_EQ(3, opt->lVal);
      ASSERT_EQ(VT_BSTR, data->vt);
      EXPECT_STREQ(L"0042", data->bstrVal);
    } else {
      EXPECT_EQ(callsBefore, Count(L"GetData"));
      EXPECT_EQ(1u, argErr);
      EXPECT_EQ(c.optVt, opt->vt);
    }
  }

  // A reference to storage of another type cannot be converted in place.
  SHORT small = 1;
  Variant inner;
  inner->vt = VT_BYREF | VT_I2;
  inner->piVal = &small;
  VARIANT innerRef;
  innerRef.vt = VT_BYREF | VT_VARIANT;
  innerRef.pvarVal = inner.get();
  BSTR text = nullptr;
  for (const VARIANT& ref : {innerRef, *inner.get()}) {
    Args args;
    args.Long(5).Value(ref).TextRef(&text);
    kr::UniqueVariant result;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              ctl::InvokeMethod(control_.get(), KR_DISPID_GetData, args, result.get()));
  }
  EXPECT_EQ(1, small);
}

TEST_F(ForwardingTest, AFailedCallIsReportedWithItsTextAndReturnsZero) {
  struct Case {
    DISPID dispid;
    const wchar_t* service;
    const wchar_t* text;  // nullptr: no report
  };
  const Case cases[] = {
      {KR_DISPID_PrintNormal, L"PrintNormal", L"Problema con PrintNormal"},
      {KR_DISPID_DirectIO, L"DirectIO", L"Problema con DirectIO "},
      {KR_DISPID_PrintRecItemAdjustment, L"PrintRecItemAdjustment",
       L"Problema con PrintRecItemAdj"},
      {KR_DISPID_PrintRecSubtotalAdjustment, L"PrintRecSubtotalAdjustment",
       L"Problema con PrintRecSubtotalAdj"},
      {KR_DISPID_ClearError, L"ClearError", L"Problema con CLearError"},
      {KR_DISPID_CheckHealth, L"CheckHealth", L"Problema con CheckHealth"},
      {KR_DISPID_Release_, L"Release", L"Problema con Release"},
      {KR_DISPID_GetData, L"GetData", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.service);
    ASSERT_TRUE(so_->SetResult(c.service, 111));
    ASSERT_TRUE(so_->FailInvoke(c.service, DISP_E_EXCEPTION));
    const kr::Member* m = kr::FindMember(c.dispid);
    LONG number = 0;
    BSTR text = nullptr;
    Args args;
    ctl::SampleArgs(*m, args, &number, &text);
    MessageBoxWatcher boxes(L"Kerunel", 10000);
    EXPECT_EQ(0, Call(c.dispid, args));
    boxes.Stop();
    if (c.text) {
      ASSERT_EQ(1u, boxes.Count());
      EXPECT_EQ(std::wstring(c.text) + L"\n\n" + SystemText(DISP_E_EXCEPTION), boxes.Texts()[0]);
    } else {
      EXPECT_EQ(0u, boxes.Count());
    }
    EXPECT_EQ(1u, Count(c.service));
    SysFreeString(text);
  }
  // The session goes on.
  EXPECT_EQ(0, Call(KR_DISPID_EndTraining));
}

TEST_F(ForwardingTest, AForwardedCallAllocatesOnlyForTextBeyondAscii) {
  so_->SetBenchMode(TRUE);  // the Service Object itself allocates nothing
  auto restore = kr::MakeScopeGuard([&] { so_->SetBenchMode(FALSE); });
  struct Case {
    const wchar_t* description;
    UINT allocationsPerCall;
  };
  const Case cases[] = {
      {L"Bread, wholemeal", 0},  // the caller's strings are handed on
      {L"Caff\u00e8 latte", 1},  // a new string for the call, freed after it
  };
  VARIANT result;
  auto call = [&](DISPID dispid, WORD flags, DISPPARAMS* params) {
    VariantInit(&result);
    EXPECT_EQ(S_OK,
              control_->Invoke(dispid, IID_NULL, 0, flags, params, &result, nullptr, nullptr));
    VariantClear(&result);
  };
  kr_test::AllocationSpy spy;
  ASSERT_TRUE(spy.Active());
  SysFreeString(SysAllocString(L"warm"));
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.description)));
    Args item;
    item.Text(c.description).Currency(12500).Long(1000).Long(1).Currency(12500).Text(L"kg");
    DISPPARAMS itemParams = item.Params();
    call(KR_DISPID_PrintRecItem, DISPATCH_METHOD, &itemParams);  // warm-up
    spy.Mark();
    for (int i = 0; i < 10; ++i) call(KR_DISPID_PrintRecItem, DISPATCH_METHOD, &itemParams);
    EXPECT_EQ(10 * c.allocationsPerCall, spy.AllocationsSinceMark());
    EXPECT_EQ(0u, spy.LiveSinceMark()) << spy.DescribeLiveSinceMark();
  }
  Args none;
  DISPPARAMS noParams = none.Params();
  spy.Mark();
  for (int i = 0; i < 10; ++i) call(KR_DISPID_PrinterState, DISPATCH_PROPERTYGET, &noParams);
  EXPECT_EQ(0u, spy.AllocationsSinceMark());
}

TEST_F(ForwardingTest, ResultsOfOtherTypesAreReadThroughTheirFirstFourBytes) {
  ASSERT_TRUE(so_->SetResultVariant(L"PrintXReport", VT_I2, 114));
  EXPECT_EQ(114, Call(KR_DISPID_PrintXReport));
  ASSERT_TRUE(so_->SetResultVariant(L"PrintXReport", VT_UI1, 7));
  EXPECT_EQ(7, Call(KR_DISPID_PrintXReport));
  ASSERT_TRUE(so_->SetResultVariant(L"PrintXReport", VT_EMPTY, 0));
  EXPECT_EQ(0, Call(KR_DISPID_PrintXReport));
}

TEST_F(ForwardingTest, PropertiesAreReadAndWrittenThroughTheServiceObjectByIndex) {
  for (int i = 0; i < kr::kPropertyCount; ++i) {
    const kr::Member& m = kr::kMembers[i];
    if (m.action != kr::MemberAction::kRoutedProperty) continue;
    if (m.type == VT_BSTR) {
      so_->SetStringProperty(m.propertyIndex, (L"text " + Wide(m.name)).c_str());
    } else {
      so_->SetNumberProperty(m.propertyIndex, 5 + i);
    }
  }
  for (int i = 0; i < kr::kPropertyCount; ++i) {
    const kr::Member& m = kr::kMembers[i];
    SCOPED_TRACE(m.name);
    UINT before = so_->CallCount();
    ctl::Variant value = Get(m.dispid);
    if (m.action != kr::MemberAction::kRoutedProperty) {
      EXPECT_EQ(before, so_->CallCount());  // answered by the control itself
      continue;
    }
    ASSERT_EQ(before + 1, so_->CallCount());
    const TestSoCall* call = so_->Call(before);
    EXPECT_STREQ(m.type == VT_BSTR ? L"GetPropertyString" : L"GetPropertyNumber", call->method);
    ASSERT_EQ(1u, call->argCount);
    EXPECT_EQ(VT_I4, call->args[0].vt);
    EXPECT_EQ(m.propertyIndex, call->args[0].number);
    if (m.type == VT_BSTR) {
      ASSERT_EQ(VT_BSTR, value->vt);
      EXPECT_EQ(L"text " + Wide(m.name), value->bstrVal);
    } else if (m.type == VT_BOOL) {
      EXPECT_EQ(VT_BOOL, value->vt);
      EXPECT_EQ(VARIANT_TRUE, value->boolVal);  // any non-zero number is true
    } else {
      EXPECT_EQ(VT_I4, value->vt);
      EXPECT_EQ(5 + i, value->lVal);  // ErrorOutID included: the full long
    }
  }
  EXPECT_EQ(1000003, Get(KR_DISPID_ControlObjectVersion)->lVal);
  so_->SetNumberProperty(opos::PIDX_Claimed, 0);
  EXPECT_EQ(VARIANT_FALSE, Get(KR_DISPID_Claimed)->boolVal);

  // String answers: a null string reads as an empty one, and the text comes
  // back through the thread's ANSI code page.
  so_->SetStringProperty(opos::PIDX_ErrorString, nullptr);
  ctl::Variant nullText = Get(KR_DISPID_ErrorString);
  ASSERT_EQ(VT_BSTR, nullText->vt);
  ASSERT_NE(nullptr, nullText->bstrVal);
  EXPECT_EQ(0u, SysStringLen(nullText->bstrVal));
  if (GetACP() == 1252) {
    so_->SetStringProperty(opos::PIDX_ErrorString, L"Caf\u00e9 \u0416");
    EXPECT_STREQ(L"Caf\u00e9 ?", Get(KR_DISPID_ErrorString)->bstrVal);
  }

  // Writes: booleans as 1 and 0, numbers as given, no result asked.
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = VARIANT_TRUE;
  EXPECT_EQ(S_OK, Put(KR_DISPID_DeviceEnabled, v));
  const TestSoCall* set = Last(L"SetPropertyNumber");
  ASSERT_NE(nullptr, set);
  EXPECT_FALSE(set->wantsResult);
  ASSERT_EQ(2u, set->argCount);
  EXPECT_EQ(opos::PIDX_DeviceEnabled, set->args[0].number);
  EXPECT_EQ(VT_I4, set->args[1].vt);
  EXPECT_EQ(1, set->args[1].number);
  v.vt = VT_I1;  // as the type library declares it
  v.cVal = 0;
  EXPECT_EQ(S_OK, Put(KR_DISPID_FreezeEvents, v));
  EXPECT_EQ(opos::PIDX_FreezeEvents, Last(L"SetPropertyNumber")->args[0].number);
  EXPECT_EQ(0, Last(L"SetPropertyNumber")->args[1].number);
  v.vt = VT_I4;
  v.lVal = 2;
  EXPECT_EQ(S_OK, Put(KR_DISPID_BinaryConversion, v));
  EXPECT_EQ(opos::PIDX_BinaryConversion, Last(L"SetPropertyNumber")->args[0].number);
  EXPECT_EQ(2, Last(L"SetPropertyNumber")->args[1].number);
  EXPECT_EQ(S_OK, Put(KR_DISPID_SlipSelection, v));
  EXPECT_EQ(opos::PIDX_SlipSelection, Last(L"SetPropertyNumber")->args[0].number);
  EXPECT_EQ(4u, Count(L"SetPropertyNumber"));
  EXPECT_EQ(0u, Count(L"SetPropertyString"));

  // Closed again: the defaults are back and nothing is asked.
  EXPECT_EQ(0, Call(KR_DISPID_Close));
  UINT before = so_->CallCount();
  EXPECT_EQ(101, Get(KR_DISPID_ErrorOutID)->lVal);
  EXPECT_STREQ(L"[Error]", Get(KR_DISPID_DeviceName)->bstrVal);
  EXPECT_EQ(S_OK, Put(KR_DISPID_DeviceEnabled, v));
  EXPECT_EQ(before, so_->CallCount());
}

TEST_F(ForwardingTest, FailedPropertyCallsAreSilentExceptForStrings) {
  ASSERT_TRUE(so_->FailInvoke(L"GetPropertyNumber", E_FAIL));
  ASSERT_TRUE(so_->FailInvoke(L"SetPropertyNumber", E_FAIL));
  ASSERT_TRUE(so_->FailInvoke(L"GetPropertyString", DISP_E_EXCEPTION));
  so_->SetNumberProperty(opos::PIDX_ResultCode, 114);
  MessageBoxWatcher boxes(L"Kerunel", 10000);
  EXPECT_EQ(0, Get(KR_DISPID_ResultCode)->lVal);
  EXPECT_EQ(VARIANT_FALSE, Get(KR_DISPID_CapXReport)->boolVal);
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = 1;
  EXPECT_EQ(S_OK, Put(KR_DISPID_PowerNotify, v));
  ctl::Variant text = Get(KR_DISPID_ErrorString);
  boxes.Stop();
  ASSERT_EQ(VT_BSTR, text->vt);
  EXPECT_STREQ(L"", text->bstrVal);
  ASSERT_EQ(1u, boxes.Count());
  EXPECT_EQ(L"Problema con GetPropertyString\n\n" + SystemText(DISP_E_EXCEPTION), boxes.Texts()[0]);
}

}  // namespace
