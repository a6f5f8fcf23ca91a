// The reference Service Object as a COM object: an IDispatch that answers
// the 61 service method names and hands each call, unpacked, to
// FiscalService; its class factory, the in-process server exports and
// self-registration.
#include <windows.h>
// The COM headers below need the Windows types.
#include <oaidl.h>
#include <olectl.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "com_server.h"
#include "fiscal_service.h"
#include "member_table.h"
#include "module_unload.h"
#include "opos.h"
#include "service_ids.h"
#include "service_methods.h"

namespace kso {
namespace {

const CLSID kClsid = KSO_CLSID_INIT;
volatile LONG g_objects = 0;
kr::ServerLocks g_locks;
HINSTANCE g_module = nullptr;

// The arguments of one call, by position in the method's parameter list.
// Check them against the method's signature first; a value that still
// cannot be taken reads as zero or empty.
class CallArgs {
 public:
  explicit CallArgs(const DISPPARAMS* p) : p_(p) {}
  UINT Count() const { return p_ && p_->rgvarg ? p_->cArgs : 0; }

  long Long(UINT i) {
    VARIANT v = Convert(i, VT_I4);
    return v.vt == VT_I4 ? v.lVal : 0;
  }
  bool Bool(UINT i) {
    VARIANT v = Convert(i, VT_BOOL);
    return v.vt == VT_BOOL && v.boolVal != VARIANT_FALSE;
  }
  int64_t Currency(UINT i) {
    VARIANT v = Convert(i, VT_CY);
    return v.vt == VT_CY ? v.cyVal.int64 : 0;
  }
  std::string Text(UINT i) {
    const std::wstring w = WideText(i);
    return ToEcrText(w.data(), w.size());
  }
  std::wstring WideText(UINT i) {
    VARIANT* a = At(i);
    if (!a) return L"";
    VARIANT v;
    VariantInit(&v);
    if (FAILED(VariantChangeType(&v, a, 0, VT_BSTR))) return L"";
    std::wstring out(v.bstrVal ? v.bstrVal : L"", v.bstrVal ? SysStringLen(v.bstrVal) : 0);
    VariantClear(&v);
    return out;
  }
  long* LongRef(UINT i) {
    VARIANT* a = At(i);
    return a && a->vt == (VT_BYREF | VT_I4) ? a->plVal : nullptr;
  }
  BSTR* TextRef(UINT i) {
    VARIANT* a = At(i);
    return a && a->vt == (VT_BYREF | VT_BSTR) ? a->pbstrVal : nullptr;
  }
  IDispatch* Dispatch(UINT i) {
    VARIANT* a = At(i);
    if (a && a->vt == VT_DISPATCH) return a->pdispVal;
    if (a && a->vt == (VT_BYREF | VT_DISPATCH) && a->ppdispVal) return *a->ppdispVal;
    return nullptr;  // no control: the object works without events
  }

  // True when every argument can be taken as the signature says; else
  // *bad is Invoke's index (last-first) of the first that cannot.
  bool Check(const char* signature, UINT* bad) {
    for (UINT i = 0; signature[i]; ++i) {
      VARIANT* a = At(i);
      VARIANT v;
      VariantInit(&v);
      bool ok = a != nullptr;
      switch (signature[i]) {
        case 'L':
          ok = ok && SUCCEEDED(VariantChangeType(&v, a, 0, VT_I4));
          break;
        case 'B':
          ok = ok && SUCCEEDED(VariantChangeType(&v, a, 0, VT_BOOL));
          break;
        case 'C':
          ok = ok && SUCCEEDED(VariantChangeType(&v, a, 0, VT_CY));
          break;
        case 'S':
          ok = ok && SUCCEEDED(VariantChangeType(&v, a, 0, VT_BSTR));
          break;
        case 'l':
          ok = ok && a->vt == (VT_BYREF | VT_I4);
          break;
        case 's':
          ok = ok && a->vt == (VT_BYREF | VT_BSTR);
          break;
        default:  // 'D': anything; no control means no events
          break;
      }
      VariantClear(&v);
      if (!ok) {
        *bad = Count() - 1 - i;
        return false;
      }
    }
    return true;
  }

 private:
  VARIANT* At(UINT i) { return i < Count() ? &p_->rgvarg[Count() - 1 - i] : nullptr; }
  // Numbers only: nothing to clear.
  VARIANT Convert(UINT i, VARTYPE type) {
    VARIANT v;
    VariantInit(&v);
    VARIANT* a = At(i);
    if (a) VariantChangeType(&v, a, 0, type);
    return v;
  }
  const DISPPARAMS* p_;
};

using kr::ServiceMethod;

// What each service method does with its arguments; the three property
// methods with results of their own are handled by Invoke itself.
// signature: one letter per parameter: L long, B boolean, C currency,
// S string, D the control's IDispatch, l long by reference, s string by
// reference.
struct Entry {
  const char* signature;
  long (*call)(FiscalService& s, CallArgs& a);
};

// clang-format off
const Entry kEntries[kr::kServiceMethodCount] = {
    {"L", nullptr},  // GetPropertyNumber
    {"LL", nullptr},  // SetPropertyNumber
    {"L", nullptr},  // GetPropertyString
    {"LS", nullptr},  // SetPropertyString
    {"SSD", [](FiscalService& s, CallArgs& a) { return s.OpenService(a.WideText(0), a.WideText(1), a.Dispatch(2)); }},
    {"", [](FiscalService& s, CallArgs&) { return s.Close(); }},
    {"L", [](FiscalService& s, CallArgs& a) { return s.Claim(a.Long(0)); }},
    {"", [](FiscalService& s, CallArgs&) { return s.Release(); }},
    {"L", [](FiscalService& s, CallArgs& a) { return s.CheckHealth(a.Long(0)); }},
    {"Lls", [](FiscalService& s, CallArgs& a) { return s.DirectIO(a.Long(0), a.LongRef(1), a.TextRef(2)); }},
    {"B", [](FiscalService& s, CallArgs& a) { return s.COFreezeEvents(a.Bool(0)); }},
    {"", [](FiscalService& s, CallArgs&) { return s.ClearOutput(); }},
    {"S", [](FiscalService& s, CallArgs& a) { return s.SetDate(a.Text(0)); }},
    {"LSB", [](FiscalService& s, CallArgs& a) { return s.SetHeaderLine(a.Long(0), a.Text(1), a.Bool(2)); }},
    {"SS", [](FiscalService& s, CallArgs& a) { return s.SetPOSID(a.Text(0), a.Text(1)); }},
    {"S", [](FiscalService& s, CallArgs& a) { return s.SetStoreFiscalID(a.Text(0)); }},
    {"LSB", [](FiscalService& s, CallArgs& a) { return s.SetTrailerLine(a.Long(0), a.Text(1), a.Bool(2)); }},
    {"", [](FiscalService& s, CallArgs&) { return s.SetVatTable(); }},
    {"LS", [](FiscalService& s, CallArgs& a) { return s.SetVatValue(a.Long(0), a.Text(1)); }},
    {"B", [](FiscalService& s, CallArgs& a) { return s.BeginFiscalReceipt(a.Bool(0)); }},
    {"B", [](FiscalService& s, CallArgs& a) { return s.EndFiscalReceipt(a.Bool(0)); }},
    {"", [](FiscalService& s, CallArgs&) { return s.PrintDuplicateReceipt(); }},
    {"SCLLCS", [](FiscalService& s, CallArgs& a) { return s.PrintRecItem(a.Text(0), a.Currency(1), a.Long(2), a.Long(3), a.Currency(4), a.Text(5)); }},
    {"LSCL", [](FiscalService& s, CallArgs& a) { return s.PrintRecItemAdjustment(a.Long(0), a.Text(1), a.Currency(2), a.Long(3)); }},
    {"S", [](FiscalService& s, CallArgs& a) { return s.PrintRecMessage(a.Text(0)); }},
    {"SC", [](FiscalService& s, CallArgs& a) { return s.PrintRecNotPaid(a.Text(0), a.Currency(1)); }},
    {"SCL", [](FiscalService& s, CallArgs& a) { return s.PrintRecRefund(a.Text(0), a.Currency(1), a.Long(2)); }},
    {"C", [](FiscalService& s, CallArgs& a) { return s.PrintRecSubtotal(a.Currency(0)); }},
    {"LSC", [](FiscalService& s, CallArgs& a) { return s.PrintRecSubtotalAdjustment(a.Long(0), a.Text(1), a.Currency(2)); }},
    {"CCS", [](FiscalService& s, CallArgs& a) { return s.PrintRecTotal(a.Currency(0), a.Currency(1), a.Text(2)); }},
    {"S", [](FiscalService& s, CallArgs& a) { return s.PrintRecVoid(a.Text(0)); }},
    {"SCLLCL", [](FiscalService& s, CallArgs& a) { return s.PrintRecVoidItem(a.Text(0), a.Currency(1), a.Long(2), a.Long(3), a.Currency(4), a.Long(5)); }},
    {"L", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // BeginFiscalDocument
    {"", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // EndFiscalDocument
    {"S", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // PrintFiscalDocumentLine
    {"L", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // BeginItemList
    {"", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // EndItemList
    {"SL", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // VerifyItem
    {"SS", [](FiscalService& s, CallArgs& a) { return s.PrintPeriodicTotalsReport(a.Text(0), a.Text(1)); }},
    {"", [](FiscalService& s, CallArgs&) { return s.PrintPowerLossReport(); }},
    {"LSS", [](FiscalService& s, CallArgs& a) { return s.PrintReport(a.Long(0), a.Text(1), a.Text(2)); }},
    {"", [](FiscalService& s, CallArgs&) { return s.PrintXReport(); }},
    {"", [](FiscalService& s, CallArgs&) { return s.PrintZReport(); }},
    {"L", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // BeginInsertion
    {"L", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // BeginRemoval
    {"", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // EndInsertion
    {"", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // EndRemoval
    {"LL", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // BeginFixedOutput
    {"", [](FiscalService& s, CallArgs&) { return s.BeginNonFiscal(); }},
    {"", [](FiscalService& s, CallArgs&) { return s.BeginTraining(); }},
    {"", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // EndFixedOutput
    {"", [](FiscalService& s, CallArgs&) { return s.EndNonFiscal(); }},
    {"", [](FiscalService& s, CallArgs&) { return s.EndTraining(); }},
    {"LLS", [](FiscalService& s, CallArgs&) { return s.Unsupported(); }},  // PrintFixedOutput
    {"LS", [](FiscalService& s, CallArgs& a) { return s.PrintNormal(a.Long(0), a.Text(1)); }},
    {"Lls", [](FiscalService& s, CallArgs& a) { return s.GetData(a.Long(0), a.LongRef(1), a.TextRef(2)); }},
    {"s", [](FiscalService& s, CallArgs& a) { return s.GetDate(a.TextRef(0)); }},
    {"LLs", [](FiscalService& s, CallArgs& a) { return s.GetTotalizer(a.Long(0), a.Long(1), a.TextRef(2)); }},
    {"LLl", [](FiscalService& s, CallArgs& a) { return s.GetVatEntry(a.Long(0), a.Long(1), a.LongRef(2)); }},
    {"", [](FiscalService& s, CallArgs&) { return s.ClearError(); }},
    {"", [](FiscalService& s, CallArgs&) { return s.ResetPrinter(); }},
};
// clang-format on

// The name of a numeric property for the log.
std::string PropertyName(long index) {
  for (const kr::Member& m : kr::kMembers) {
    if (m.isProperty && m.action == kr::MemberAction::kRoutedProperty && m.propertyIndex == index) {
      return m.name;
    }
  }
  return "property " + std::to_string(index);
}

std::string MethodName(int index) {
  std::string name;
  for (const wchar_t* c = kr::kServiceMethods[index].name; *c; ++c) name += static_cast<char>(*c);
  return name;
}

// One call as the log shows it: "CALL PrintRecItem("Bread", 2.5000, 0, ...)",
// or "SET DeviceEnabled = 1" for a property written.
std::string DescribeCall(int index, const char* signature, CallArgs& args) {
  if (index == kr::kSvcSetPropertyNumber) {
    return "SET " + PropertyName(args.Long(0)) + " = " + std::to_string(args.Long(1));
  }
  std::string out = "CALL " + MethodName(index) + "(";
  for (UINT i = 0; signature[i]; ++i) {
    if (i > 0) out += ", ";
    char number[32];
    switch (signature[i]) {
      case 'L':
        out += std::to_string(args.Long(i));
        break;
      case 'B':
        out += args.Bool(i) ? "TRUE" : "FALSE";
        break;
      case 'C': {
        const int64_t raw = args.Currency(i);
        const uint64_t magnitude = raw < 0 ? 0 - static_cast<uint64_t>(raw) : raw;
        std::snprintf(number, sizeof number, "%s%" PRIu64 ".%04" PRIu64, raw < 0 ? "-" : "",
                      magnitude / 10000, magnitude % 10000);
        out += number;
        break;
      }
      case 'S':
        out += "\"" + LogText(args.Text(i), 60) + "\"";
        break;
      case 'l': {
        const long* value = args.LongRef(i);
        out += value ? "&" + std::to_string(*value) : "&?";
        break;
      }
      case 's':
        out += "&string";
        break;
      default:  // 'D'
        out += "control";
        break;
    }
  }
  return out + ")";
}

// A method's DISPID is its index in the service method table plus one.
DISPID DispidOf(int index) {
  return index + 1;
}

class ServiceObject final : public kr::NoTypeInfo<> {
 public:
  ServiceObject() : service_(this) { InterlockedIncrement(&g_objects); }
  ~ServiceObject() { InterlockedDecrement(&g_objects); }
  ServiceObject(const ServiceObject&) = delete;
  ServiceObject& operator=(const ServiceObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      if (i > 0) {
        hr = DISP_E_UNKNOWNNAME;  // no named parameters
        continue;
      }
      for (int m = 0; m < kr::kServiceMethodCount && names[0]; ++m) {
        if (lstrcmpiW(names[0], kr::kServiceMethods[m].name) == 0) ids[0] = DispidOf(m);
      }
      if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  // The result of a call that the log shows (with the call itself when the
  // log was configured by it, as OpenService does), and the error text the
  // call left when it failed.
  void LogResult(int index, const char* signature, CallArgs& args, const std::string& call,
                 const std::wstring& errorBefore) {
    ServiceLog& log = service_.log();
    if (call.empty()) log.Write("%s", DescribeCall(index, signature, args).c_str());
    const long code = service_.GetPropertyNumber(opos::PIDX_ResultCode);
    std::string result = std::to_string(code);
    if (code == opos::OPOS_E_EXTENDED) {
      result += "/" + std::to_string(service_.GetPropertyNumber(opos::PIDX_ResultCodeExtended));
    }
    const std::wstring error = service_.GetPropertyString(opos::PIDX_ErrorString);
    if (code != 0 && !error.empty() && error != errorBefore) {
      result += " : " + LogText(ToEcrText(error.data(), error.size()), 100);
    }
    const std::string name = index == kr::kSvcSetPropertyNumber
                                 ? "SET " + PropertyName(args.Long(0))
                                 : MethodName(index);
    log.Write("RETURN %s = %s", name.c_str(), result.c_str());
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT* argErr) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    const int index = dispid - 1;
    if (index < 0 || index >= kr::kServiceMethodCount) return DISP_E_MEMBERNOTFOUND;
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (params && params->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
    CallArgs args(params);
    const char* signature = kEntries[index].signature;
    if (args.Count() != static_cast<UINT>(lstrlenA(signature))) return DISP_E_BADPARAMCOUNT;
    // Every argument is checked before the call: a bad one fails the call
    // without any device work.
    UINT bad = 0;
    if (!args.Check(signature, &bad)) {
      if (argErr) *argErr = bad;
      return DISP_E_TYPEMISMATCH;
    }

    AddRef();  // a Close from an event handler must not free us mid-call
    // Events reach the control on this thread, the application's.
    if (index == kr::kSvcOpenService) service_.BindControl(args.Dispatch(2));
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = opos::OPOS_E_FAILURE;  // when the Service Object's thread cannot run
    service_.OnServiceThread([&] { Dispatch(index, signature, args, &value); });
    if (index == kr::kSvcClose || (index == kr::kSvcOpenService && value.lVal != 0)) {
      service_.AfterClose();
    }
    Release();
    if (result) {
      *result = value;
    } else {
      VariantClear(&value);
    }
    return S_OK;
  }

 private:
  // One call, on the Service Object's thread; its result into value.
  void Dispatch(int index, const char* signature, CallArgs& args, VARIANT* out) {
    // Every call but the frequent property reads goes to the device's log.
    const bool logged = index != kr::kSvcGetPropertyNumber && index != kr::kSvcGetPropertyString;
    std::string call;
    std::wstring errorBefore;
    if (logged && service_.log().Enabled()) {
      call = DescribeCall(index, signature, args);
      service_.log().Write("%s", call.c_str());
      errorBefore = service_.GetPropertyString(opos::PIDX_ErrorString);
    }
    VARIANT& value = *out;
    value.lVal = 0;
    switch (index) {
      case kr::kSvcGetPropertyNumber:
        value.lVal = service_.GetPropertyNumber(args.Long(0));
        break;
      case kr::kSvcSetPropertyNumber:
        service_.SetPropertyNumber(args.Long(0), args.Long(1));
        break;
      case kr::kSvcGetPropertyString: {
        const std::wstring text = service_.GetPropertyString(args.Long(0));
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        break;
      }
      case kr::kSvcSetPropertyString:
        service_.SetPropertyString(args.Long(0));
        break;
      default:
        value.lVal = kEntries[index].call(service_, args);
        break;
    }
    if (logged && service_.log().Enabled()) LogResult(index, signature, args, call, errorBefore);
  }

  volatile LONG refs_ = 1;  // the creator's
  FiscalService service_;
};

kr::StaticClassFactory<ServiceObject> g_factory(g_locks);

// Writes a string value (name null: the default value) under HKCR\path.
LONG WriteValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  kr::UniqueHKey key;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            key.put(), nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        bytes);
}

}  // namespace
}  // namespace kso

using namespace kso;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    UnregisterClassW(L"KerunelServiceThread", instance);
    UnregisterClassW(L"KerunelServiceEvents", instance);
    kr::ReleaseRuntimeOnUnload(reserved);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != kClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

// Not while an object lives, nor while a Service Object's thread runs.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  if (g_objects != 0 || g_locks.Count() != 0 || ServiceThread::Count() != 0) return S_FALSE;
  kso::ReleaseUnusedDrivers();  // the module goes: its drivers with it
  return S_OK;
}

// Returns S_OK, or SELFREG_E_CLASS when a key could not be written.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return SELFREG_E_CLASS;
  const std::wstring clsidKey = std::wstring(L"CLSID\\") + KSO_CLSID_STRING;
  const std::wstring description = L"Kerunel reference fiscal printer Service Object";
  LONG rc = WriteValue(clsidKey, nullptr, description);
  if (rc == ERROR_SUCCESS) rc = WriteValue(clsidKey + L"\\InprocServer32", nullptr, path);
  if (rc == ERROR_SUCCESS) {
    rc = WriteValue(clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
  }
  if (rc == ERROR_SUCCESS) rc = WriteValue(clsidKey + L"\\ProgID", nullptr, KSO_PROGID);
  if (rc == ERROR_SUCCESS) rc = WriteValue(KSO_PROGID, nullptr, description);
  if (rc == ERROR_SUCCESS) {
    rc = WriteValue(std::wstring(KSO_PROGID) + L"\\CLSID", nullptr, KSO_CLSID_STRING);
  }
  return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

// Returns S_OK; keys that are already gone are not an error.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + KSO_CLSID_STRING).c_str());
  RegDeleteTreeW(HKEY_CLASSES_ROOT, KSO_PROGID);
  return S_OK;
}
