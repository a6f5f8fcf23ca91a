#include "control_client.h"

#include <algorithm>
#include <cstdio>

#include "com_server.h"
#include "kerunel_ids.h"

namespace kcli {

const char* EventName(DISPID dispid) {
  switch (dispid) {
    case 1:
      return "DirectIOEvent";
    case 2:
      return "ErrorEvent";
    case 3:
      return "OutputCompleteEvent";
    case 4:
      return "StatusUpdateEvent";
    default:
      return "UnknownEvent";
  }
}

std::string EventRecord::Describe() const {
  char text[128];
  switch (dispid) {
    case 2:
      std::snprintf(text, sizeof text, "ErrorEvent %ld %ld locus %ld, answered %ld", values[0],
                    values[1], values[2], response);
      break;
    case 1:
      std::snprintf(text, sizeof text, "DirectIOEvent %ld %ld", values[0], values[1]);
      break;
    default:
      std::snprintf(text, sizeof text, "%s %ld", EventName(dispid), values[0]);
      break;
  }
  return text;
}

// --- Args ---------------------------------------------------------------------

Args::~Args() {
  for (VARIANT& v : values_) {
    if (!(v.vt & VT_BYREF)) VariantClear(&v);
  }
}

static VARIANT Make(VARTYPE vt) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  return v;
}

Args& Args::Long(long value) {
  VARIANT v = Make(VT_I4);
  v.lVal = value;
  values_.push_back(v);
  return *this;
}

Args& Args::Text(const std::wstring& value) {
  VARIANT v = Make(VT_BSTR);
  v.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  values_.push_back(v);
  return *this;
}

Args& Args::Bool(bool value) {
  VARIANT v = Make(VT_BOOL);
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  values_.push_back(v);
  return *this;
}

Args& Args::Currency(int64_t raw) {
  VARIANT v = Make(VT_CY);
  v.cyVal.int64 = raw;
  values_.push_back(v);
  return *this;
}

Args& Args::LongRef(long* target) {
  VARIANT v = Make(VT_BYREF | VT_I4);
  v.plVal = reinterpret_cast<LONG*>(target);
  values_.push_back(v);
  return *this;
}

Args& Args::TextRef(BSTR* target) {
  VARIANT v = Make(VT_BYREF | VT_BSTR);
  v.pbstrVal = target;
  values_.push_back(v);
  return *this;
}

DISPPARAMS Args::Params() {
  reversed_.assign(values_.rbegin(), values_.rend());
  return DISPPARAMS{reversed_.empty() ? nullptr : reversed_.data(), nullptr,
                    static_cast<UINT>(reversed_.size()), 0};
}

// --- The event sink -----------------------------------------------------------

class ControlClient::Sink final : public kr::DispatchByIdOnly<> {
 public:
  explicit Sink(ControlClient* owner) : owner_(owner) {}
  void Detach() { owner_ = nullptr; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kr::kEventsIid) {
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
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    EventRecord e{dispid, {0, 0, 0}, 0};
    LONG* response = nullptr;
    const UINT count = p && p->rgvarg ? p->cArgs : 0;
    int n = 0;
    for (UINT i = count; i-- > 0;) {
      VARIANT& a = p->rgvarg[i];
      if (a.vt == (VT_BYREF | VT_I4) && dispid == 2) {
        response = a.plVal;  // ErrorEvent's answer, after its three values
      } else if (a.vt == VT_I4 && n < 3) {
        e.values[n++] = a.lVal;
      } else if (a.vt == (VT_BYREF | VT_I4) && a.plVal && n < 3) {
        e.values[n++] = *a.plVal;
      }
    }
    if (response) {
      e.response = *response;
      if (owner_ && owner_->onError) e.response = owner_->onError(e);
      *response = e.response;
    }
    if (owner_) owner_->Record(e);
    return S_OK;
  }

 private:
  volatile LONG refs_ = 1;
  ControlClient* owner_;
};

// --- ControlClient ------------------------------------------------------------

ControlClient::~ControlClient() {
  if (point_ && cookie_) point_->Unadvise(cookie_);
  point_.reset();
  if (sink_) {
    sink_->Detach();
    sink_->Release();
  }
  control_.reset();
}

HRESULT ControlClient::Create(const wchar_t* modulePath) {
  HRESULT hr;
  if (modulePath) {
    module_.reset(LoadLibraryW(modulePath));
    if (!module_) return HRESULT_FROM_WIN32(GetLastError());
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllGetClassObject")));
    if (!get) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    kr::ComPtr<IClassFactory> factory;
    hr = get(kr::kControlClsid, IID_IClassFactory, factory.put_void());
    if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, IID_IDispatch, control_.put_void());
  } else {
    hr = CoCreateInstance(kr::kControlClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                          control_.put_void());
  }
  if (FAILED(hr)) return hr;
  kr::ComPtr<IConnectionPointContainer> container;
  hr = control_.QueryTo(IID_IConnectionPointContainer, container);
  if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(kr::kEventsIid, point_.put());
  if (FAILED(hr)) return hr;
  sink_ = new Sink(this);
  return point_->Advise(sink_, &cookie_);
}

long CallMember(IDispatch* control, const char* method, Args& args, HRESULT* hr) {
  const kr::Member* m = kr::FindMemberByName(method);
  HRESULT status = DISP_E_UNKNOWNNAME;
  kr::UniqueVariant result;
  if (m && !m->isProperty && control) {
    DISPPARAMS params = args.Params();
    status = control->Invoke(m->dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                             result.get(), nullptr, nullptr);
  }
  if (hr) *hr = status;
  if (FAILED(status)) return -1;
  return result->vt == VT_I4 ? result->lVal : 0;
}

HRESULT SetMember(IDispatch* control, const char* property, long value) {
  const kr::Member* m = kr::FindMemberByName(property);
  if (!m || !m->isProperty || !control) return DISP_E_UNKNOWNNAME;
  VARIANT arg;
  VariantInit(&arg);
  if (m->type == VT_BOOL) {
    arg.vt = VT_BOOL;
    arg.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  } else {
    arg.vt = VT_I4;
    arg.lVal = value;
  }
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&arg, &named, 1, 1};
  return control->Invoke(m->dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                         nullptr, nullptr, nullptr);
}

long ControlClient::Call(const char* method, Args& args, HRESULT* hr) {
  return CallMember(control_.get(), method, args, hr);
}

HRESULT ControlClient::ReadProperty(const char* property, VARIANT* value) {
  const kr::Member* m = kr::FindMemberByName(property);
  if (!m || !m->isProperty || !control_) return DISP_E_UNKNOWNNAME;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  return control_->Invoke(m->dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                          value, nullptr, nullptr);
}

long ControlClient::Get(const char* property, HRESULT* hr) {
  kr::UniqueVariant result;
  const HRESULT status = ReadProperty(property, result.get());
  if (hr) *hr = status;
  if (FAILED(status)) return -1;
  if (result->vt == VT_BOOL) return result->boolVal ? 1 : 0;
  kr::UniqueVariant number;
  if (FAILED(VariantChangeType(number.get(), result.get(), 0, VT_I4))) return 0;
  return number->lVal;
}

std::wstring ControlClient::GetText(const char* property, HRESULT* hr) {
  kr::UniqueVariant result;
  const HRESULT status = ReadProperty(property, result.get());
  if (hr) *hr = status;
  kr::UniqueVariant text;
  if (FAILED(status) || FAILED(VariantChangeType(text.get(), result.get(), 0, VT_BSTR))) {
    return L"";
  }
  return text->bstrVal ? std::wstring(text->bstrVal, SysStringLen(text->bstrVal)) : L"";
}

HRESULT ControlClient::Set(const char* property, long value) {
  return SetMember(control_.get(), property, value);
}

void ControlClient::Record(const EventRecord& e) {
  events_.push_back(e);
  if (onEvent) onEvent(e);
}

size_t ControlClient::Count(DISPID dispid) const {
  size_t n = 0;
  for (const EventRecord& e : events_) n += e.dispid == dispid;
  return n;
}

void ControlClient::Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool ControlClient::PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    Pump();
    if (done()) return true;
    const DWORD used = GetTickCount() - start;
    if (used >= static_cast<DWORD>(timeoutMs)) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(timeoutMs - used, 20),
                              QS_ALLINPUT);
  }
}

}  // namespace kcli
