#include "service_dispatch.h"

#include <new>
#include <string>

#include "deferred_release.h"
#include "opos.h"
#include "own_module.h"

namespace kr {

namespace {

// Whether clearing a variant of this type frees anything.
bool OwnsResources(VARTYPE type) {
  switch (type) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BOOL:
    case VT_ERROR:
      return false;
    default:
      return true;
  }
}

}  // namespace

void ServiceArgs::AddOwnedString(BSTR value) {
  const bool fits = added_ < count_;
  Next(VT_BSTR)->bstrVal = value;
  if (fits) {
    owned_[ownedCount_++] = value;
  } else {
    ::SysFreeString(value);  // past the declared count: never passed on
  }
}

HRESULT ServiceArgs::AddConverted(VARIANTARG* source, VARTYPE type) {
  if (type & VT_BYREF) {
    // A by-reference argument must point at a variable of the parameter
    // type, or be a variant passed by reference: a script's variable, which
    // takes the parameter type in place (an empty one, an Integer, a
    // number in a string...) so that the output lands in it.
    const VARTYPE base = type & ~VT_BYREF;
    if (base != VT_I4 && base != VT_BSTR) return DISP_E_TYPEMISMATCH;
    VARIANTARG* v = source;
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal != nullptr) v = v->pvarVal;
    void* target = nullptr;
    if (v->vt == type) {
      target = v->byref;
    } else if (v != source && !(v->vt & VT_BYREF) &&
               (v->vt == base ||
                (SUCCEEDED(::VariantChangeType(v, v, 0, base)) && v->vt == base))) {
      target = base == VT_I4 ? static_cast<void*>(&v->lVal) : static_cast<void*>(&v->bstrVal);
    }
    if (target == nullptr) return DISP_E_TYPEMISMATCH;
    Next(type)->byref = target;
    return S_OK;
  }
  UniqueVariant converted;
  if (FAILED(::VariantChangeType(converted.get(), source, 0, type)) || converted->vt != type) {
    return DISP_E_TYPEMISMATCH;
  }
  if (type != VT_BSTR) return AddValue(*converted.get());
  // The converted string is the control's own: handed on and freed after
  // the call when the round trip would not change it.
  TextArgument text;
  text.Assign(converted->bstrVal);
  if (text.SurvivesRoundTrip()) {
    AddOwnedString(converted->bstrVal);
    converted->vt = VT_EMPTY;
  } else {
    AddOwnedString(text.NewString());
  }
  return S_OK;
}

CServiceDispatch::CServiceDispatch(IDispatch* control)
    : m_callbacks(
          ComPtr<CServiceCallbacks>::Attach(new (std::nothrow) CServiceCallbacks(control))) {}

CServiceDispatch::~CServiceDispatch() {
  ReleaseService();
  if (m_callbacks) m_callbacks->Detach();
}

bool CServiceDispatch::CreateService(const char* text) {
  ReleaseService();
  // Without a callback object there is nothing to hand the object.
  if (text == nullptr || !m_callbacks) return false;
  UniqueBstr wide(AnsiToBstr(text));
  if (!wide) return false;
  CLSID clsid;
  HRESULT hr = text[0] == '{' ? ::CLSIDFromString(wide.get(), &clsid)
                              : ::CLSIDFromProgID(wide.get(), &clsid);
  if (FAILED(hr)) return false;

  ComPtr<IUnknown> object;
  hr = ::CoCreateInstance(
      clsid, nullptr,
      CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
      IID_IUnknown, object.put_void());
  if (hr == E_INVALIDARG) {
    // Systems without remote activation refuse the remote context.
    hr = ::CoCreateInstance(clsid, nullptr,
                            CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER,
                            IID_IUnknown, object.put_void());
  }
  if (FAILED(hr) || !object) return false;
  if (FAILED(::OleRun(object.get()))) return false;
  ComPtr<IDispatch> dispatch;
  if (FAILED(object.QueryTo(IID_IDispatch, dispatch)) || !dispatch) return false;
  m_lpDispatch = std::move(dispatch);
  return true;
}

bool CServiceDispatch::BindMethods() {
  if (!m_lpDispatch) return false;
  for (int i = 0; i < kServiceMethodCount; ++i) {
    LPOLESTR name = const_cast<LPOLESTR>(kServiceMethods[i].name);
    DISPID dispid = DISPID_UNKNOWN;
    if (m_lpDispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_SYSTEM_DEFAULT, &dispid) != S_OK) {
      return false;
    }
    m_dispid[i] = dispid;
  }
  return true;
}

void CServiceDispatch::ReleaseService() {
  if (!m_lpDispatch) return;
  if (m_callDepth > 0) {
    // Released while the object's code runs (a handler closed the control):
    // the object must outlive that code.
    m_retired.push_back(std::move(m_lpDispatch));
    return;
  }
  Drop(std::move(m_lpDispatch));
}

void CServiceDispatch::DropRetired() {
  if (m_retired.empty()) return;
  // The last release may call back into the control: the list is left
  // consistent before it runs.
  std::vector<ComPtr<IDispatch>> retired;
  retired.swap(m_retired);
  for (ComPtr<IDispatch>& binding : retired) Drop(std::move(binding));
}

void CServiceDispatch::Drop(ComPtr<IDispatch> binding) {
  if (m_callbacks && m_callbacks->InCallback()) {
    ReleaseWhenIdle(ComPtr<IUnknown>::Attach(binding.detach()));
  }
  // Otherwise the reference goes here, with `binding`.
}

// Inlined into the call primitive, which every forwarded call goes through.
inline HRESULT CServiceDispatch::Invoke(ServiceMethod index, ServiceArgs& args, VARIANT* result) {
  IDispatch* service = m_lpDispatch.get();
  if (service == nullptr) return E_UNEXPECTED;
  KeepAlive keep(*this);
  return service->Invoke(m_dispid[index], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                         args.params(), result, nullptr, nullptr);
}

HRESULT CServiceDispatch::CallForValue(ServiceMethod index, ServiceArgs& args, LONG* value) {
  VARIANT result;
  result.vt = VT_EMPTY;
  result.llVal = 0;  // a result narrower than 32 bits reads with zero upper bytes
  *value = 0;
  HRESULT hr = Invoke(index, args, &result);
  if (FAILED(hr)) {
    const wchar_t* failureText = kServiceMethods[index].failureText;
    if (failureText != nullptr) ReportCallFailure(failureText, hr);
    return hr;
  }
  // The result code is taken from the 32-bit field whatever the variant's
  // type; a result that owns something is freed.
  *value = result.lVal;
  if (OwnsResources(result.vt)) ::VariantClear(&result);
  return hr;
}

LONG CServiceDispatch::CallService(ServiceMethod index, ServiceArgs& args) {
  LONG value;
  CallForValue(index, args, &value);
  return value;
}

LONG CServiceDispatch::OpenService(const char* deviceClass, const char* deviceName) {
  ServiceArgs args(3);
  args.AddString(deviceClass);
  args.AddString(deviceName);
  args.AddDispatch(m_callbacks.get());
  LONG value;
  // An object that could not even be asked to open is no open device:
  // answering 0 here would report success for a device that never opened.
  if (FAILED(CallForValue(kSvcOpenService, args, &value))) {
    return opos::OPOS_E_NOSERVICE;
  }
  return value;
}

LONG CServiceDispatch::Close() {
  ServiceArgs args(0);
  return CallService(kSvcClose, args);
}

LONG CServiceDispatch::GetPropertyNumber(LONG propertyIndex) {
  ServiceArgs args(1);
  args.AddLong(propertyIndex);
  return CallService(kSvcGetPropertyNumber, args);
}

HRESULT CServiceDispatch::SetPropertyNumber(LONG propertyIndex, LONG value) {
  ServiceArgs args(2);
  args.AddLong(propertyIndex);
  args.AddLong(value);
  return Invoke(kSvcSetPropertyNumber, args, nullptr);
}

BSTR CServiceDispatch::GetPropertyString(LONG propertyIndex) {
  ServiceArgs args(1);
  args.AddLong(propertyIndex);
  UniqueVariant result;
  HRESULT hr = Invoke(kSvcGetPropertyString, args, result.get());
  if (FAILED(hr)) {
    ReportCallFailure(kServiceMethods[kSvcGetPropertyString].failureText, hr);
    return ::SysAllocStringLen(L"", 0);
  }
  // A Service Object that answers with another type gets its value converted
  // rather than misread as a string.
  if (result->vt != VT_BSTR &&
      FAILED(::VariantChangeType(result.get(), result.get(), 0, VT_BSTR))) {
    return ::SysAllocStringLen(L"", 0);
  }
  TextArgument text;
  text.Assign(result->bstrVal);
  BSTR value = text.NewString();
  return value ? value : ::SysAllocStringLen(L"", 0);
}

void CServiceDispatch::COFreezeEvents(VARIANT_BOOL freeze) {
  ServiceArgs args(1);
  args.AddBool(freeze);
  CallService(kSvcCOFreezeEvents, args);
}

void CServiceDispatch::ReportCallFailure(const wchar_t* text, HRESULT status) {
  std::wstring message = text ? text : L"";
  message += L"\n\n";
  wchar_t* systemText = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(status), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPWSTR>(&systemText), 0, nullptr);
  UniqueLocalMem systemBuffer(systemText);
  if (length != 0 && systemText != nullptr) message.append(systemText, length);
  std::wstring caption = OwnModuleName();
  if (caption.empty()) caption = L"Kerunel";
  ::MessageBoxW(::GetActiveWindow(), message.c_str(), caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace kr
