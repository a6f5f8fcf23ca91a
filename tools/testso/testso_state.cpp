#include "testso_state.h"

#include <cwchar>

namespace testso {

namespace {

// The names a Service Object of this device class answers, in the order the
// control binds them.
const WCHAR* const kMethodNames[kMethodCount] = {
    L"GetPropertyNumber",
    L"SetPropertyNumber",
    L"GetPropertyString",
    L"SetPropertyString",
    L"OpenService",
    L"Close",
    L"Claim",
    L"Release",
    L"CheckHealth",
    L"DirectIO",
    L"COFreezeEvents",
    L"ClearOutput",
    L"SetDate",
    L"SetHeaderLine",
    L"SetPOSID",
    L"SetStoreFiscalID",
    L"SetTrailerLine",
    L"SetVatTable",
    L"SetVatValue",
    L"BeginFiscalReceipt",
    L"EndFiscalReceipt",
    L"PrintDuplicateReceipt",
    L"PrintRecItem",
    L"PrintRecItemAdjustment",
    L"PrintRecMessage",
    L"PrintRecNotPaid",
    L"PrintRecRefund",
    L"PrintRecSubtotal",
    L"PrintRecSubtotalAdjustment",
    L"PrintRecTotal",
    L"PrintRecVoid",
    L"PrintRecVoidItem",
    L"BeginFiscalDocument",
    L"EndFiscalDocument",
    L"PrintFiscalDocumentLine",
    L"BeginItemList",
    L"EndItemList",
    L"VerifyItem",
    L"PrintPeriodicTotalsReport",
    L"PrintPowerLossReport",
    L"PrintReport",
    L"PrintXReport",
    L"PrintZReport",
    L"BeginInsertion",
    L"BeginRemoval",
    L"EndInsertion",
    L"EndRemoval",
    L"BeginFixedOutput",
    L"BeginNonFiscal",
    L"BeginTraining",
    L"EndFixedOutput",
    L"EndNonFiscal",
    L"EndTraining",
    L"PrintFixedOutput",
    L"PrintNormal",
    L"GetData",
    L"GetDate",
    L"GetTotalizer",
    L"GetVatEntry",
    L"ClearError",
    L"ResetPrinter",
};

const WCHAR* CallbackName(TestSoCallbackKind kind) {
  switch (kind) {
    case TESTSO_CB_STATUS_UPDATE:
      return L"SOStatusUpdate";
    case TESTSO_CB_OUTPUT_COMPLETE:
      return L"SOOutputComplete";
    case TESTSO_CB_ERROR:
      return L"SOError";
    case TESTSO_CB_DIRECT_IO:
      return L"SODirectIO";
    case TESTSO_CB_PROCESS_ID:
      return L"SOProcessID";
  }
  return L"";
}

// Reads one argument as received; the strings go to text.
void ReadArg(const VARIANT& v, TestSoArg& arg, OptText& text) {
  arg.vt = v.vt;
  switch (v.vt) {
    case VT_I4:
      arg.number = v.lVal;
      break;
    case VT_I2:
      arg.number = v.iVal;
      break;
    case VT_BOOL:
      arg.number = v.boolVal;
      break;
    case VT_I1:
      arg.number = v.cVal;
      break;
    case VT_UI1:
      arg.number = v.bVal;
      break;
    case VT_ERROR:
      arg.number = v.scode;
      break;
    case VT_CY:
      arg.currency = v.cyVal.int64;
      break;
    case VT_BSTR:
      arg.pointer = v.bstrVal;
      text.Set(v.bstrVal);
      if (v.bstrVal) text.text.assign(v.bstrVal, ::SysStringLen(v.bstrVal));
      break;
    case VT_DISPATCH:
      arg.pointer = v.pdispVal;
      break;
    case VT_UNKNOWN:
      arg.pointer = v.punkVal;
      break;
    case VT_BYREF | VT_I4:
      arg.pointer = v.plVal;
      if (v.plVal) arg.number = *v.plVal;
      break;
    case VT_BYREF | VT_BSTR:
      arg.pointer = v.pbstrVal;
      if (v.pbstrVal && *v.pbstrVal) {
        text.Set(*v.pbstrVal);
        text.text.assign(*v.pbstrVal, ::SysStringLen(*v.pbstrVal));
      }
      break;
    default:
      if (v.vt & VT_BYREF) arg.pointer = v.byref;
      break;
  }
  if (text.isNull) return;
  arg.textLength = static_cast<UINT>(text.text.size());
}

}  // namespace

const WCHAR* MethodName(int index) {
  return index >= 0 && index < kMethodCount ? kMethodNames[index] : L"";
}

int FindMethod(const WCHAR* name) {
  if (!name) return -1;
  for (int i = 0; i < kMethodCount; ++i) {
    if (::CompareStringOrdinal(name, -1, kMethodNames[i], -1, TRUE) == CSTR_EQUAL) return i;
  }
  return -1;
}

State& TheState() {
  static State state;
  return state;
}

void State::Reset() {
  kr::LockGuard<kr::CriticalSection> guard(lock);
  for (auto& m : methods) m = MethodProgram{};
  numbers.clear();
  strings.clear();
  benchMode = false;
  holdControl = true;
  calls.clear();
  names.clear();
  callbacks.clear();
  createdObjects = 0;
  bstrsHandedOut = 0;
  callerBstrsFreed = 0;
  freedInOwnCallback = 0;
}

CallRecord& State::RecordCall(int index, DISPID id, REFIID riid, LCID lcid, WORD flags,
                              const DISPPARAMS* params, bool wantsResult) {
  kr::LockGuard<kr::CriticalSection> guard(lock);
  CallRecord& r = calls.emplace_back();
  TestSoCall& c = r.call;
  c.method = MethodName(index);
  c.dispid = id;
  c.lcid = lcid;
  c.flags = flags;
  c.riidIsNull = ::IsEqualIID(riid, IID_NULL);
  c.wantsResult = wantsResult;
  c.argCount = params ? params->cArgs : 0;
  c.namedArgCount = params ? params->cNamedArgs : 0;
  const UINT kept = c.argCount < TESTSO_MAX_ARGS ? c.argCount : TESTSO_MAX_ARGS;
  for (UINT i = 0; i < kept && params->rgvarg; ++i) {
    // Invoke holds the arguments last-first.
    ReadArg(params->rgvarg[c.argCount - 1 - i], c.args[i], r.texts[i]);
    c.args[i].text = r.texts[i].Ptr();
  }
  c.hr = S_OK;
  return r;
}

void State::RecordName(const WCHAR* name, UINT count, LCID lcid, bool riidNull, HRESULT hr) {
  kr::LockGuard<kr::CriticalSection> guard(lock);
  NameRecord& r = names.emplace_back();
  r.name = name ? name : L"";
  r.request.name = r.name.c_str();
  r.request.nameCount = count;
  r.request.lcid = lcid;
  r.request.riidIsNull = riidNull;
  r.request.hr = hr;
}

HRESULT State::MakeCallback(IDispatch* control, const CallbackPlan& plan, const WCHAR* trigger) {
  TestSoCallbackResult out{};
  out.kind = plan.kind;
  out.trigger = trigger;
  out.dispid = DISPID_UNKNOWN;
  out.resultVt = VT_EMPTY;

  // The object's own variables, which the control passes on by reference.
  LONG refNumber = plan.refNumber;
  BSTR refText = plan.refText.Alloc();
  auto freeText = kr::MakeScopeGuard([&] { ::SysFreeString(refText); });
  kr::UniqueVariant result;
  HRESULT hr = E_POINTER;
  out.nameHr = E_POINTER;
  if (control) {
    LPOLESTR name = const_cast<LPOLESTR>(CallbackName(plan.kind));
    out.nameHr = control->GetIDsOfNames(IID_NULL, &name, 1, 0, &out.dispid);
    hr = out.nameHr;
  }
  if (SUCCEEDED(hr)) {
    VARIANT args[4];  // last-first
    UINT count = 0;
    auto push = [&](VARTYPE vt) -> VARIANT& {
      VARIANT& a = args[count++];
      ::VariantInit(&a);
      a.vt = vt;
      return a;
    };
    switch (plan.kind) {
      case TESTSO_CB_STATUS_UPDATE:
      case TESTSO_CB_OUTPUT_COMPLETE:
        push(VT_I4).lVal = plan.values[0];
        break;
      case TESTSO_CB_ERROR:
        push(VT_BYREF | VT_I4).plVal = &refNumber;
        push(VT_I4).lVal = plan.values[2];
        push(VT_I4).lVal = plan.values[1];
        push(VT_I4).lVal = plan.values[0];
        break;
      case TESTSO_CB_DIRECT_IO:
        push(VT_BYREF | VT_BSTR).pbstrVal = &refText;
        push(VT_BYREF | VT_I4).plVal = &refNumber;
        push(VT_I4).lVal = plan.values[0];
        break;
      case TESTSO_CB_PROCESS_ID:
        break;
    }
    DISPPARAMS params = {args, nullptr, count, 0};
    hr = control->Invoke(out.dispid, IID_NULL, 0, DISPATCH_METHOD, &params, result.get(), nullptr,
                         nullptr);
  }
  out.hr = hr;
  out.resultVt = result->vt;
  out.resultNumber = result->vt == VT_I4 ? result->lVal : 0;
  out.refNumber = refNumber;

  kr::LockGuard<kr::CriticalSection> guard(lock);
  CallbackRecord& r = callbacks.emplace_back();
  r.result = out;
  r.refText.Set(refText);
  if (refText) r.refText.text.assign(refText, ::SysStringLen(refText));
  r.result.refText = r.refText.Ptr();
  return hr;
}

}  // namespace testso
