#include "ole_control.h"

#include <cwchar>
#include <new>
#include <vector>

#include "com_server.h"

namespace vostrik {

std::wstring SystemStatusText(HRESULT status) {
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  kr::UniqueLocalMem owner(buffer);
  std::wstring text(buffer ? buffer : L"", buffer ? n : 0);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  return text;
}

std::wstring StatusText(HRESULT status) {
  std::wstring text = SystemStatusText(status);
  if (!text.empty()) return text;
  wchar_t fallback[32];
  std::swprintf(fallback, 32, L"OLE error 0x%08lX", static_cast<unsigned long>(status));
  return fallback;
}

Arg Arg::Long(LONG value) {
  Arg a;
  a.vt = VT_I4;
  a.number = value;
  return a;
}
Arg Arg::Bool(bool value) {
  Arg a;
  a.vt = VT_BOOL;
  a.flag = value ? VARIANT_TRUE : VARIANT_FALSE;
  return a;
}
Arg Arg::Text(BSTR value) {
  Arg a;
  a.vt = VT_BSTR;
  a.text = value;
  return a;
}
Arg Arg::Currency(CY value) {
  Arg a;
  a.vt = VT_CY;
  a.currency = value;
  return a;
}
Arg Arg::LongRef(LONG* target) {
  Arg a;
  a.vt = VT_BYREF | VT_I4;
  a.numberRef = target;
  return a;
}
Arg Arg::TextRef(BSTR* target) {
  Arg a;
  a.vt = VT_BYREF | VT_BSTR;
  a.textRef = target;
  return a;
}

namespace {

constexpr int kHimetricPerInch = 2540;

// A control's error as the window shows it: its own description, else the
// system's text for its code, else the system's text for the status.
std::wstring ExceptionText(HRESULT hr, const EXCEPINFO& info) {
  if (hr == DISP_E_EXCEPTION) {
    if (info.bstrDescription && *info.bstrDescription) return info.bstrDescription;
    if (info.scode) return StatusText(info.scode);
  }
  return StatusText(hr);
}

void ClearExcepInfo(EXCEPINFO& info) {
  ::SysFreeString(info.bstrSource);
  ::SysFreeString(info.bstrDescription);
  ::SysFreeString(info.bstrHelpFile);
  info = EXCEPINFO{};
}

// A reference-counted COM object whose lifetime the host does not decide:
// the control may keep it beyond the host's Destroy, so it forgets its
// owner then.
class RefCounted {
 public:
  virtual ~RefCounted() = default;

 protected:
  ULONG AddRefImpl() { return ::InterlockedIncrement(&refs_); }
  ULONG ReleaseImpl() {
    const LONG n = ::InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
  }

 private:
  LONG refs_ = 1;
};

}  // namespace

// ---------------------------------------------------------------------------
// The site: client site, in-place site and frame, control site, ambient
// properties. The frame is the window's own top-level window; the host
// offers no menus, tool space or accelerators.

class TOleControl::Site final : public IOleClientSite,
                                public IOleInPlaceSite,
                                public IOleInPlaceFrame,
                                public IOleControlSite,
                                public kr::DispatchByIdOnly<>,
                                private RefCounted {
 public:
  explicit Site(TOleControl& owner) : owner_(&owner) {}
  void Detach() { owner_ = nullptr; }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IOleClientSite) {
      *out = static_cast<IOleClientSite*>(this);
    } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite) {
      *out = static_cast<IOleInPlaceSite*>(this);
    } else if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame) {
      *out = static_cast<IOleInPlaceFrame*>(this);
    } else if (iid == IID_IOleControlSite) {
      *out = static_cast<IOleControlSite*>(this);
    } else if (iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetContainer(IOleContainer** out) override {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow (shared by the in-place site and the frame)
  STDMETHODIMP GetWindow(HWND* out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!owner_) return E_FAIL;
    *out = owner_->window();
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return owner_ ? S_OK : S_FALSE; }
  STDMETHODIMP OnInPlaceActivate() override {
    if (owner_) owner_->OnInPlaceActive(true);
    return S_OK;
  }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                RECT* position, RECT* clip, OLEINPLACEFRAMEINFO* info) override {
    if (!frame || !document || !position || !clip || !info) return E_POINTER;
    *frame = nullptr;
    *document = nullptr;
    if (!owner_) return E_FAIL;
    const HRESULT hr = owner_->GetWindowContext(position, clip);
    if (FAILED(hr)) return hr;
    *frame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    info->fMDIApp = FALSE;
    info->hwndFrame = ::GetAncestor(owner_->window(), GA_ROOT);
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override {
    if (owner_) owner_->OnInPlaceActive(false);
    return S_OK;
  }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

  // IOleInPlaceUIWindow / IOleInPlaceFrame
  STDMETHODIMP GetBorder(RECT*) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP InsertMenus(HMENU, OLEMENUGROUPWIDTHS*) override { return E_NOTIMPL; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(MSG*, WORD) override { return S_FALSE; }

  // IOleControlSite
  STDMETHODIMP OnControlInfoChanged() override { return S_OK; }
  STDMETHODIMP LockInPlaceActive(BOOL) override { return S_OK; }
  STDMETHODIMP GetExtendedControl(IDispatch** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP TransformCoords(POINTL* himetric, POINTF* container, DWORD flags) override {
    if (!himetric || !container) return E_POINTER;
    kr::UniqueResource<DcTraits> screen(::GetDC(nullptr));
    const int dpiX = screen ? ::GetDeviceCaps(screen.get(), LOGPIXELSX) : 96;
    const int dpiY = screen ? ::GetDeviceCaps(screen.get(), LOGPIXELSY) : 96;
    if (flags & XFORMCOORDS_HIMETRICTOCONTAINER) {
      container->x = static_cast<float>(::MulDiv(himetric->x, dpiX, kHimetricPerInch));
      container->y = static_cast<float>(::MulDiv(himetric->y, dpiY, kHimetricPerInch));
    } else if (flags & XFORMCOORDS_CONTAINERTOHIMETRIC) {
      himetric->x = ::MulDiv(static_cast<int>(container->x), kHimetricPerInch, dpiX);
      himetric->y = ::MulDiv(static_cast<int>(container->y), kHimetricPerInch, dpiY);
    } else {
      return E_INVALIDARG;
    }
    return S_OK;
  }
  STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
  STDMETHODIMP OnFocus(BOOL) override { return S_OK; }
  STDMETHODIMP ShowPropertyFrame() override { return E_NOTIMPL; }

  // IDispatch: the ambient properties of a container in user mode.
  STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO*, UINT*) override {
    if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    if (params && params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    if (!result) return E_POINTER;
    return Ambient(dispid, result);
  }

 private:
  struct DcTraits {
    using Type = HDC;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type dc) noexcept { ::ReleaseDC(nullptr, dc); }
  };

  // Returns S_OK with the ambient's value, or DISP_E_MEMBERNOTFOUND for one
  // this container does not offer.
  HRESULT Ambient(DISPID dispid, VARIANT* result) {
    struct Flag {
      DISPID dispid;
      bool value;
    };
    static constexpr Flag kFlags[] = {
        {DISPID_AMBIENT_USERMODE, true},          {DISPID_AMBIENT_UIDEAD, false},
        {DISPID_AMBIENT_SHOWGRABHANDLES, false},  {DISPID_AMBIENT_SHOWHATCHING, false},
        {DISPID_AMBIENT_DISPLAYASDEFAULT, false}, {DISPID_AMBIENT_SUPPORTSMNEMONICS, false},
        {DISPID_AMBIENT_AUTOCLIP, true},          {DISPID_AMBIENT_MESSAGEREFLECT, false},
    };
    ::VariantInit(result);
    for (const Flag& f : kFlags) {
      if (f.dispid == dispid) {
        result->vt = VT_BOOL;
        result->boolVal = f.value ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
      }
    }
    constexpr LONG kSystemColour = static_cast<LONG>(0x80000000);
    switch (dispid) {
      case DISPID_AMBIENT_BACKCOLOR:
        result->vt = VT_I4;
        result->lVal = kSystemColour | COLOR_BTNFACE;
        return S_OK;
      case DISPID_AMBIENT_FORECOLOR:
        result->vt = VT_I4;
        result->lVal = kSystemColour | COLOR_WINDOWTEXT;
        return S_OK;
      case DISPID_AMBIENT_LOCALEID:
        result->vt = VT_I4;
        result->lVal = static_cast<LONG>(::GetUserDefaultLCID());
        return S_OK;
      case DISPID_AMBIENT_APPEARANCE:
        result->vt = VT_I2;
        result->iVal = 1;  // three-dimensional
        return S_OK;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

  TOleControl* owner_;
};

// ---------------------------------------------------------------------------
// The event sink: answers the record's event interface and hands every
// incoming event to the host.

class TOleControl::EventSink final : public kr::DispatchByIdOnly<>, private RefCounted {
 public:
  EventSink(TOleControl& owner, const IID& eventIid) : owner_(&owner), eventIid_(eventIid) {}
  void Detach() { owner_ = nullptr; }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == eventIid_) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

  STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO*, UINT*) override {
    if (result) ::VariantInit(result);
    if (!owner_) return S_OK;
    // Handlers belong to the window; nothing they throw may cross into the
    // control.
    try {
      return owner_->DispatchEvent(dispid, params);
    } catch (...) {
      return E_UNEXPECTED;
    }
  }

 private:
  TOleControl* owner_;
  const IID eventIid_;
};

// ---------------------------------------------------------------------------

TOleControl::TOleControl(const ControlData& data) : data_(data) {}

TOleControl::~TOleControl() {
  Destroy();
}

HRESULT TOleControl::Create(HWND window, const BYTE* state, size_t stateBytes) {
  Destroy();
  HRESULT hr =
      ::CoCreateInstance(data_.classId, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                         IID_IUnknown, control_.put_void());
  if (FAILED(hr)) return hr;
  window_ = window;
  site_ = new (std::nothrow) Site(*this);
  if (!site_) {
    control_.reset();
    return E_OUTOFMEMORY;
  }

  // A control without IOleObject is hosted through its automation side
  // only; its registered status still says whether it wants to be seen.
  control_.QueryTo(IID_IOleObject, oleObject_);
  if (oleObject_) {
    if (FAILED(oleObject_->GetMiscStatus(DVASPECT_CONTENT, &miscStatus_))) miscStatus_ = 0;
  } else if (FAILED(::OleRegGetMiscStatus(data_.classId, DVASPECT_CONTENT, &miscStatus_))) {
    miscStatus_ = 0;
  }
  const bool siteFirst = (miscStatus_ & OLEMISC_SETCLIENTSITEFIRST) != 0;
  if (oleObject_ && siteFirst) oleObject_->SetClientSite(site_);
  LoadState(state, stateBytes);
  if (oleObject_ && !siteFirst) oleObject_->SetClientSite(site_);

  control_.QueryTo(IID_IDispatch, dispatch_);
  ConnectEvents();

  if (miscStatus_ & OLEMISC_INVISIBLEATRUNTIME) {
    ::ShowWindow(window_, SW_HIDE);
  } else if (oleObject_) {
    RECT position;
    GetWindowContext(&position, &position);
    oleObject_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_, 0, window_, &position);
  }
  return S_OK;
}

void TOleControl::LoadState(const BYTE* state, size_t stateBytes) {
  kr::ComPtr<IPersistStreamInit> persist;
  if (FAILED(control_.QueryTo(IID_IPersistStreamInit, persist))) return;
  kr::ComPtr<IStream> stream;
  bool loaded = false;
  if (state && stateBytes && SUCCEEDED(::CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) {
    ULONG written = 0;
    const LARGE_INTEGER start{};
    loaded = SUCCEEDED(stream->Write(state, static_cast<ULONG>(stateBytes), &written)) &&
             written == stateBytes && SUCCEEDED(stream->Seek(start, STREAM_SEEK_SET, nullptr)) &&
             SUCCEEDED(persist->Load(stream.get()));
  }
  // A control that cannot read the stored state starts from its defaults.
  if (!loaded) persist->InitNew();
}

void TOleControl::ConnectEvents() {
  kr::ComPtr<IConnectionPointContainer> container;
  if (FAILED(control_.QueryTo(IID_IConnectionPointContainer, container))) return;
  if (FAILED(container->FindConnectionPoint(data_.eventIid, eventPoint_.put()))) return;
  sink_ = new (std::nothrow) EventSink(*this, data_.eventIid);
  if (!sink_ || FAILED(eventPoint_->Advise(sink_, &eventCookie_))) {
    eventCookie_ = 0;
    eventPoint_.reset();
  }
}

void TOleControl::Destroy() {
  if (eventPoint_ && eventCookie_) eventPoint_->Unadvise(eventCookie_);
  eventCookie_ = 0;
  eventPoint_.reset();
  if (inPlaceActive_) {
    kr::ComPtr<IOleInPlaceObject> inPlace;
    if (SUCCEEDED(control_.QueryTo(IID_IOleInPlaceObject, inPlace))) inPlace->InPlaceDeactivate();
    inPlaceActive_ = false;
  }
  if (oleObject_) {
    oleObject_->Close(OLECLOSE_NOSAVE);
    oleObject_->SetClientSite(nullptr);
  }
  bound_.reset();
  dispatch_.reset();
  oleObject_.reset();
  control_.reset();
  if (sink_) {
    sink_->Detach();
    sink_->Release();
    sink_ = nullptr;
  }
  if (site_) {
    site_->Detach();
    site_->Release();
    site_ = nullptr;
  }
  window_ = nullptr;
  miscStatus_ = 0;
}

HRESULT TOleControl::GetWindowContext(RECT* position, RECT* clip) const {
  if (!window_ || !::GetClientRect(window_, position)) return E_FAIL;
  *clip = *position;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Properties

kr::UniqueVariant TOleControl::GetProperty(DISPID dispid) {
  kr::UniqueVariant value;
  if (!dispatch_) throw OleError(E_NOINTERFACE, StatusText(E_NOINTERFACE));
  DISPPARAMS none{};
  EXCEPINFO info{};
  UINT argErr = 0;
  const HRESULT hr = dispatch_->Invoke(dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                                       value.put(), &info, &argErr);
  if (FAILED(hr)) {
    std::wstring text = ExceptionText(hr, info);
    ClearExcepInfo(info);
    throw OleError(hr, std::move(text));
  }
  return value;
}

void TOleControl::SetProperty(DISPID dispid, VARIANT value) {
  if (!dispatch_) throw OleError(E_NOINTERFACE, StatusText(E_NOINTERFACE));
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &named, 1, 1};
  EXCEPINFO info{};
  UINT argErr = 0;
  const HRESULT hr = dispatch_->Invoke(dispid, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr,
                                       &info, &argErr);
  if (FAILED(hr)) {
    std::wstring text = ExceptionText(hr, info);
    ClearExcepInfo(info);
    throw OleError(hr, std::move(text));
  }
}

namespace {
// Converts a property's value in place; raises OleError when it cannot.
void ChangeType(kr::UniqueVariant& value, VARTYPE type) {
  const HRESULT hr = ::VariantChangeType(value.get(), value.get(), 0, type);
  if (FAILED(hr)) throw OleError(hr, StatusText(hr));
}
}  // namespace

LONG TOleControl::GetLongProp(DISPID dispid) {
  kr::UniqueVariant value = GetProperty(dispid);
  ChangeType(value, VT_I4);
  return value->lVal;
}

bool TOleControl::GetBoolProp(DISPID dispid) {
  kr::UniqueVariant value = GetProperty(dispid);
  ChangeType(value, VT_BOOL);
  return value->boolVal != 0;
}

std::wstring TOleControl::GetStringProp(DISPID dispid) {
  kr::UniqueVariant value = GetProperty(dispid);
  ChangeType(value, VT_BSTR);
  return std::wstring(value->bstrVal ? value->bstrVal : L"", ::SysStringLen(value->bstrVal));
}

void TOleControl::SetLongProp(DISPID dispid, LONG value) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = value;
  SetProperty(dispid, v);
}

void TOleControl::SetBoolProp(DISPID dispid, bool value) {
  VARIANT v;
  v.vt = VT_BOOL;
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  SetProperty(dispid, v);
}

void TOleControl::SetStringProp(DISPID dispid, const std::wstring& value) {
  kr::UniqueVariant v;
  v->vt = VT_BSTR;
  v->bstrVal = ::SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  if (!v->bstrVal) throw OleError(E_OUTOFMEMORY, StatusText(E_OUTOFMEMORY));
  SetProperty(dispid, *v.get());
}

// ---------------------------------------------------------------------------
// Methods and events

HRESULT TOleControl::InvokeMethod(IDispatch* target, DISPID dispid, LCID lcid, const Arg* args,
                                  size_t count, VARIANT* result, UINT* argErr) {
  if (!target) return E_POINTER;
  // Borrowed values: nothing here is cleared, the caller's strings stay
  // the caller's.
  std::vector<VARIANT> reversed(count);
  for (size_t i = 0; i < count; ++i) {
    VARIANT& v = reversed[count - 1 - i];
    const Arg& a = args[i];
    v.vt = a.vt;
    switch (a.vt) {
      case VT_I4:
        v.lVal = a.number;
        break;
      case VT_BOOL:
        v.boolVal = a.flag;
        break;
      case VT_BSTR:
        v.bstrVal = a.text;
        break;
      case VT_CY:
        v.cyVal = a.currency;
        break;
      case VT_BYREF | VT_I4:
        v.plVal = a.numberRef;
        break;
      case VT_BYREF | VT_BSTR:
        v.pbstrVal = a.textRef;
        break;
      default:
        return DISP_E_TYPEMISMATCH;
    }
  }
  DISPPARAMS params{count ? reversed.data() : nullptr, nullptr, static_cast<UINT>(count), 0};
  EXCEPINFO info{};
  const HRESULT hr =
      target->Invoke(dispid, IID_NULL, lcid, DISPATCH_METHOD, &params, result, &info, argErr);
  ClearExcepInfo(info);
  return hr;
}

namespace {

// Readers of one incoming event argument. By-reference arguments reach the
// handler as the control's own variables; one passed by value reaches it
// as a local copy.
struct EventArgs {
  DISPPARAMS* params;
  LONG numberCopies[4] = {};
  BSTR textCopy = nullptr;

  VARIANTARG& At(UINT i) const { return params->rgvarg[params->cArgs - 1 - i]; }

  bool Number(UINT i, LONG& out) const {
    VARIANTARG& v = At(i);
    if (v.vt == VT_I4) {
      out = v.lVal;
      return true;
    }
    if (v.vt == (VT_BYREF | VT_I4) && v.plVal) {
      out = *v.plVal;
      return true;
    }
    kr::UniqueVariant copy;
    if (FAILED(::VariantChangeType(copy.get(), &v, 0, VT_I4))) return false;
    out = copy->lVal;
    return true;
  }
  LONG* NumberRef(UINT i) {
    VARIANTARG& v = At(i);
    if (v.vt == (VT_BYREF | VT_I4) && v.plVal) return v.plVal;
    return Number(i, numberCopies[i]) ? &numberCopies[i] : nullptr;
  }
  BSTR* TextRef(UINT i) {
    VARIANTARG& v = At(i);
    if (v.vt == (VT_BYREF | VT_BSTR) && v.pbstrVal) return v.pbstrVal;
    if (v.vt == VT_BSTR) {
      textCopy = v.bstrVal;
      return &textCopy;
    }
    return nullptr;
  }
};

}  // namespace

HRESULT TOleControl::DispatchEvent(DISPID dispid, DISPPARAMS* params) {
  int handler = -1;
  for (int n = 0; n < data_.eventCount && n < kEventHandlerCount; ++n) {
    if (data_.eventDispids[n] == dispid) handler = n;
  }
  if (handler < 0) return S_OK;
  static constexpr UINT kParamCounts[kEventHandlerCount] = {3, 4, 1, 1};
  if (!params || params->cArgs != kParamCounts[handler] || (params->cArgs && !params->rgvarg)) {
    return DISP_E_BADPARAMCOUNT;
  }
  EventArgs a{params};
  LONG n0 = 0, n1 = 0, n2 = 0;
  switch (handler) {
    case 0: {
      LONG* data = a.NumberRef(1);
      BSTR* text = a.TextRef(2);
      if (!a.Number(0, n0) || !data || !text) return DISP_E_TYPEMISMATCH;
      if (OnDirectIOEvent) OnDirectIOEvent(*this, n0, data, text);
      return S_OK;
    }
    case 1: {
      LONG* response = a.NumberRef(3);
      if (!a.Number(0, n0) || !a.Number(1, n1) || !a.Number(2, n2) || !response) {
        return DISP_E_TYPEMISMATCH;
      }
      if (OnErrorEvent) OnErrorEvent(*this, n0, n1, n2, response);
      return S_OK;
    }
    default: {
      if (!a.Number(0, n0)) return DISP_E_TYPEMISMATCH;
      const OutputCompleteEventHandler& h =
          handler == 2 ? OnOutputCompleteEvent : OnStatusUpdateEvent;
      if (h) h(*this, n0);
      return S_OK;
    }
  }
}

}  // namespace vostrik
