#include "kerunel_ctrl.h"

#include <string>

#include "about_box.h"
#include "com_enumerator.h"
#include "kerunel_ids.h"
#include "kerunel_texts.h"
#include "opos.h"
#include "own_module.h"

namespace kr {

namespace {

// The OPOS registry area that maps logical device names to Service Objects.
constexpr char kClassKeyPath[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Kerunel";
constexpr char kDeviceClass[] = "Kerunel";
// Registry values are read into buffers of this size (99 characters and the
// terminator); longer values count as missing.
constexpr DWORD kValueLimit = 100;

constexpr HRESULT kSetNotSupported = CTL_E_SETNOTSUPPORTED;  // 0x800A017F

// Reads a value of any type into `buffer` (kValueLimit bytes) as text.
// Returns false when the value is missing, unreadable or too long.
bool ReadValueText(HKEY key, const char* name, char (&buffer)[kValueLimit]) {
  DWORD size = kValueLimit;
  DWORD type = 0;
  if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  if (size == 0) {
    buffer[0] = '\0';
  } else if (buffer[size - 1] != '\0') {
    // Stored without its terminator: there must be room to add one.
    if (size >= kValueLimit) return false;
    buffer[size] = '\0';
  }
  return true;
}

// Frees what a sink left in an EXCEPINFO.
void ClearExcepInfo(EXCEPINFO& info) {
  ::SysFreeString(info.bstrSource);
  ::SysFreeString(info.bstrDescription);
  ::SysFreeString(info.bstrHelpFile);
  info = EXCEPINFO{};
}

}  // namespace

// ---------------------------------------------------------------------------
// Module usage

namespace {
LONG g_moduleUsage = 0;
}

void ModuleAddRef() {
  ::InterlockedIncrement(&g_moduleUsage);
}
void ModuleRelease() {
  ::InterlockedDecrement(&g_moduleUsage);
}
LONG ModuleUsage() {
  return ::InterlockedCompareExchange(&g_moduleUsage, 0, 0);
}

// ---------------------------------------------------------------------------
// Enumerators for the connection point interfaces

namespace {

struct ConnectDataCopy {
  static void Take(CONNECTDATA& c) {
    if (c.pUnk) c.pUnk->AddRef();
  }
  static void Drop(CONNECTDATA& c) {
    if (c.pUnk) c.pUnk->Release();
  }
};
struct ConnectionPointCopy {
  static void Take(IConnectionPoint* p) { p->AddRef(); }
  static void Drop(IConnectionPoint* p) { p->Release(); }
};

using CEnumConnections = CEnumerator<IEnumConnections, CONNECTDATA, ConnectDataCopy>;
using CEnumConnectionPoints =
    CEnumerator<IEnumConnectionPoints, IConnectionPoint*, ConnectionPointCopy>;

}  // namespace

// ---------------------------------------------------------------------------
// CEventConnectionPoint

STDMETHODIMP CEventConnectionPoint::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEventConnectionPoint::AddRef() {
  return m_owner.AddRef();
}
STDMETHODIMP_(ULONG) CEventConnectionPoint::Release() {
  return m_owner.Release();
}

STDMETHODIMP CEventConnectionPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = kEventsIid;
  return S_OK;
}

STDMETHODIMP CEventConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (out == nullptr) return E_POINTER;
  *out = static_cast<IConnectionPointContainer*>(&m_owner);
  (*out)->AddRef();
  return S_OK;
}

STDMETHODIMP CEventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (cookie == nullptr) return E_POINTER;
  *cookie = 0;
  if (sink == nullptr) return E_POINTER;
  ComPtr<IDispatch> dispatch;
  // Sinks answer the event interface; a plain IDispatch does as well, since
  // events are invoked by DISPID only.
  if (FAILED(sink->QueryInterface(kEventsIid, dispatch.put_void())) || !dispatch) {
    if (FAILED(sink->QueryInterface(IID_IDispatch, dispatch.put_void())) || !dispatch) {
      return CONNECT_E_CANNOTCONNECT;
    }
  }
  m_sinks.push_back(Sink{m_nextCookie, std::move(dispatch)});
  *cookie = m_nextCookie++;
  if (m_nextCookie == 0) m_nextCookie = 1;
  return S_OK;
}

STDMETHODIMP CEventConnectionPoint::Unadvise(DWORD cookie) {
  for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
    if (it->cookie == cookie) {
      Sink removed = std::move(*it);
      m_sinks.erase(it);
      return S_OK;  // `removed` releases the sink after the list is consistent
    }
  }
  return CONNECT_E_NOCONNECTION;
}

STDMETHODIMP CEventConnectionPoint::EnumConnections(IEnumConnections** out) {
  if (out == nullptr) return E_POINTER;
  std::vector<CONNECTDATA> data;
  data.reserve(m_sinks.size());
  for (const Sink& s : m_sinks) data.push_back(CONNECTDATA{s.dispatch.get(), s.cookie});
  auto* e = new (std::nothrow)
      CEnumConnections(data.data(), data.size(), static_cast<IConnectionPoint*>(this));
  if (e == nullptr) return E_OUTOFMEMORY;
  *out = e;
  return S_OK;
}

void CEventConnectionPoint::Fire(DISPID dispid, DISPPARAMS* params) {
  if (m_sinks.empty()) return;
  // A handler may connect or disconnect sinks: deliver to those connected now.
  std::vector<ComPtr<IDispatch>> targets;
  targets.reserve(m_sinks.size());
  for (const Sink& s : m_sinks) targets.push_back(s.dispatch);
  for (const ComPtr<IDispatch>& sink : targets) {
    UniqueVariant ignored;
    EXCEPINFO excepInfo{};
    UINT argErr = 0;
    sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, ignored.get(),
                 &excepInfo, &argErr);
    ClearExcepInfo(excepInfo);
  }
}

// ---------------------------------------------------------------------------
// CKerunelCtrl: lifetime and interfaces

CKerunelCtrl::CKerunelCtrl()
    : m_strDescription(kControlDescription), m_lCOVersion(opos::kControlObjectVersion) {
  ModuleAddRef();
}

CKerunelCtrl::~CKerunelCtrl() {
  // Destroyed while open: the Service Object is closed as Close does it, and
  // its answer is dropped (a closed control returns at once).
  Close();
  m_events.DisconnectAll();
  ModuleRelease();
}

STDMETHODIMP CKerunelCtrl::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kDispatchIid) {
    *out = static_cast<IDispatch*>(this);
  } else if (iid == IID_IConnectionPointContainer) {
    *out = static_cast<IConnectionPointContainer*>(this);
  } else if (iid == IID_IOleControl) {
    *out = static_cast<IOleControl*>(this);
  } else if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2) {
    *out = static_cast<IProvideClassInfo2*>(this);
  } else if (m_embedding.Query(iid, out)) {
    return S_OK;
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) CKerunelCtrl::AddRef() {
  return ::InterlockedIncrement(&m_refs);
}

STDMETHODIMP_(ULONG) CKerunelCtrl::Release() {
  LONG refs = ::InterlockedDecrement(&m_refs);
  if (refs == 0 && m_busy == 0) {
    // Calls made during destruction (closing the Service Object, which may
    // call back) must not free the object a second time.
    m_refs = 1;
    delete this;
  }
  return refs;
}

// Counts a call under way; the last one to end frees an object whose
// references were all released meanwhile.
class CKerunelCtrl::BusyScope {
 public:
  explicit BusyScope(CKerunelCtrl& owner) : m_owner(owner) { ++m_owner.m_busy; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
  ~BusyScope() {
    if (--m_owner.m_busy == 0 && m_owner.m_refs == 0) {
      m_owner.m_refs = 1;
      delete &m_owner;
    }
  }

 private:
  CKerunelCtrl& m_owner;
};

HRESULT LoadOwnTypeInfo(REFGUID guid, ITypeInfo** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  std::wstring path = OwnModulePath();
  if (path.empty()) return TYPE_E_CANTLOADLIBRARY;
  ComPtr<ITypeLib> library;
  HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
  if (FAILED(hr)) return hr;
  return library->GetTypeInfoOfGuid(guid, out);
}

STDMETHODIMP CKerunelCtrl::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP CKerunelCtrl::GetTypeInfo(UINT index, LCID, ITypeInfo** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return LoadOwnTypeInfo(kDispatchIid, out);
}

STDMETHODIMP CKerunelCtrl::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                         DISPID* dispids) {
  return ResolveMemberNames(iid, names, count, lcid, dispids);
}

HRESULT ResolveMemberNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* dispids) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (names == nullptr || dispids == nullptr) return E_POINTER;
  if (count == 0) return S_OK;

  if (lcid != 0) {
    // Callers that pass a locale get the type library's spellings.
    ComPtr<ITypeLib> library;
    ComPtr<ITypeInfo> info;
    if (SUCCEEDED(
            ::LoadRegTypeLib(kLibId, kLibVersionMajor, kLibVersionMinor, lcid, library.put())) &&
        SUCCEEDED(library->GetTypeInfoOfGuid(kDispatchIid, info.put()))) {
      return info->GetIDsOfNames(names, count, dispids);
    }
  }

  for (UINT i = 1; i < count; ++i) dispids[i] = DISPID_UNKNOWN;
  AnsiText name;
  name.Assign(names[0], names[0] ? static_cast<UINT>(::lstrlenW(names[0])) : 0);
  const Member* member = FindMemberByName(name.get());
  dispids[0] = member ? member->dispid : DISPID_UNKNOWN;
  // Parameter names are not known here, so asking for any is a failure too.
  return member && count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

// ---------------------------------------------------------------------------
// CKerunelCtrl: the generic dispatch path

STDMETHODIMP CKerunelCtrl::Invoke(DISPID dispid, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr) ||
      (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr)) {
    return E_INVALIDARG;
  }
  const Member* member = FindMember(dispid);
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;

  BusyScope busy(*this);

  if (member->isProperty) {
    return InvokeProperty(*member, flags, params, result, excepInfo, argErr);
  }
  if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != member->paramCount) return DISP_E_BADPARAMCOUNT;

  // Converted straight into the list a forwarded call hands on.
  ServiceArgs args(member->paramCount);
  for (UINT i = 0; i < member->paramCount; ++i) {
    UINT slot = params->cArgs - 1 - i;  // arguments arrive last-first
    HRESULT hr = args.AddArgument(&params->rgvarg[slot], member->params[i].type);
    if (FAILED(hr)) {
      if (argErr) *argErr = slot;
      return hr;
    }
  }
  return InvokeMethod(*member, args, result);
}

HRESULT CKerunelCtrl::InvokeProperty(const Member& member, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    if (params->cNamedArgs > 1 ||
        (params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)) {
      return DISP_E_NONAMEDARGS;
    }
    if (!member.writable) {
      if (excepInfo) {
        *excepInfo = EXCEPINFO{};
        excepInfo->bstrSource = ::SysAllocString(L"Kerunel");
        excepInfo->bstrDescription = ::SysAllocString(L"Property is read-only");
        excepInfo->scode = kSetNotSupported;
      }
      return DISP_E_EXCEPTION;
    }
    ServiceArgs value(1);
    HRESULT hr = value.AddArgument(&params->rgvarg[0], member.type);
    if (FAILED(hr)) {
      if (argErr) *argErr = 0;
      return hr;
    }
    // Closed: the write is dropped. Open: the outcome is not reported back.
    // A boolean arrives as 1 or 0.
    if (m_bOpen) {
      LONG number = member.type == VT_BOOL ? value[0].boolVal : value[0].lVal;
      m_service.SetPropertyNumber(member.propertyIndex, number);
    }
    return S_OK;
  }
  if (!(flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD))) return DISP_E_MEMBERNOTFOUND;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
  if (result == nullptr) {
    UniqueVariant discarded;
    return GetProperty(member, discarded.get());
  }
  return GetProperty(member, result);
}

HRESULT CKerunelCtrl::GetProperty(const Member& member, VARIANT* result) {
  ::VariantInit(result);
  switch (member.action) {
    case MemberAction::kOwnDescription:
      result->bstrVal = AnsiToBstr(m_strDescription);
      if (result->bstrVal == nullptr) return E_OUTOFMEMORY;
      result->vt = VT_BSTR;
      return S_OK;
    case MemberAction::kOwnVersion:
      result->vt = VT_I4;
      result->lVal = m_lCOVersion;
      return S_OK;
    default:
      break;
  }
  if (member.type == VT_BSTR) {
    result->bstrVal =
        m_bOpen ? m_service.GetPropertyString(member.propertyIndex) : AnsiToBstr("[Error]");
    if (result->bstrVal == nullptr) return E_OUTOFMEMORY;
    result->vt = VT_BSTR;
    return S_OK;
  }
  if (member.type == VT_BOOL) {
    LONG value = m_bOpen ? m_service.GetPropertyNumber(member.propertyIndex) : 0;
    result->vt = VT_BOOL;
    result->boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  result->vt = VT_I4;
  result->lVal = m_bOpen ? m_service.GetPropertyNumber(member.propertyIndex) : opos::OPOS_E_CLOSED;
  return S_OK;
}

HRESULT CKerunelCtrl::InvokeMethod(const Member& member, ServiceArgs& args, VARIANT* result) {
  LONG value = 0;
  switch (member.action) {
    case MemberAction::kOpen: {
      AnsiText name;
      name.Assign(args[0].bstrVal);
      value = Open(name.get());
      break;
    }
    case MemberAction::kClose:
      value = Close();
      break;
    case MemberAction::kForward:
      value = m_bOpen ? m_service.CallService(static_cast<ServiceMethod>(member.service), args)
                      : opos::OPOS_E_CLOSED;
      break;
    case MemberAction::kFireEvent: {
      // A handler may close the control while the Service Object's code,
      // which made this callback, is still running below it.
      CServiceCallbacks::Scope callback(m_service.Callbacks());
      FireEvent(member, args);
      break;
    }
    case MemberAction::kProcessId:
      value = 0;
      break;
    case MemberAction::kAboutBox:
      ShowAboutBox(m_embedding.ContainerWindow());
      break;
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
  if (result != nullptr) {
    result->vt = VT_EMPTY;
    if (member.type == VT_I4) {
      result->vt = VT_I4;
      result->lVal = value;
    }
  }
  return S_OK;
}

// A service call must have room for every parameter a member can take.
static_assert(kMaxMemberParams <= static_cast<int>(kMaxServiceArgs));

// The callback's parameters are its event's: the arguments go on as they
// came, references to the Service Object's own variables included.
void CKerunelCtrl::FireEvent(const Member& member, ServiceArgs& args) {
  m_events.Fire(kEvents[member.event - 1].dispid, args.params());
}

// ---------------------------------------------------------------------------
// CKerunelCtrl: the session

// Returns OPOS_E_ILLEGAL when open or opening, OPOS_E_NOEXIST or
// OPOS_E_NOSERVICE when the device cannot be bound, else the result of
// "OpenService" (0: open).
LONG CKerunelCtrl::Open(const char* deviceName) {
  if (m_bOpen || m_opening) return opos::OPOS_E_ILLEGAL;
  m_opening = true;
  LONG opened = Bind(deviceName);
  m_opening = false;
  if (opened == opos::OPOS_SUCCESS) m_bOpen = true;
  return opened;
}

LONG CKerunelCtrl::Bind(const char* deviceName) {
  // A null name is the empty one, whose value is the class key's default
  // value: the installation's default device.
  if (deviceName == nullptr) deviceName = "";

  UniqueHKey classKey;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKeyPath, 0, KEY_READ, classKey.put()) !=
      ERROR_SUCCESS) {
    return opos::OPOS_E_NOEXIST;
  }
  // A value named after the logical name maps it to a device key.
  char mapped[kValueLimit];
  const char* keyName = ReadValueText(classKey.get(), deviceName, mapped) ? mapped : deviceName;
  // An empty key name would make the class key its own device key.
  if (keyName[0] == '\0') return opos::OPOS_E_NOEXIST;

  std::string devicePath = kClassKeyPath;
  devicePath += '\\';
  devicePath += keyName;
  UniqueHKey deviceKey;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, devicePath.c_str(), 0, KEY_READ, deviceKey.put()) !=
      ERROR_SUCCESS) {
    return opos::OPOS_E_NOEXIST;
  }
  char serviceName[kValueLimit];
  if (!ReadValueText(deviceKey.get(), nullptr, serviceName)) return opos::OPOS_E_NOEXIST;
  classKey.reset();
  deviceKey.reset();

  if (!m_service.CreateService(serviceName)) return opos::OPOS_E_NOSERVICE;
  if (!m_service.BindMethods()) {
    m_service.ReleaseService();
    return opos::OPOS_E_NOSERVICE;
  }
  // The Service Object gets the binding's callback object, whose reference
  // does not keep the control alive.
  LONG opened = m_service.OpenService(kDeviceClass, keyName);
  if (opened != opos::OPOS_SUCCESS) m_service.ReleaseService();
  return opened;
}

// Returns OPOS_E_CLOSED when not open, OPOS_E_ILLEGAL when a Close is
// already under way, else the Service Object's "Close" result.
LONG CKerunelCtrl::Close() {
  if (!m_bOpen) return opos::OPOS_E_CLOSED;
  if (m_closing) return opos::OPOS_E_ILLEGAL;
  m_closing = true;
  LONG closed = m_service.Close();
  // The binding ends whatever the Service Object answered.
  m_service.ReleaseService();
  m_bOpen = false;
  m_closing = false;
  return closed;
}

// ---------------------------------------------------------------------------
// CKerunelCtrl: container protocols

STDMETHODIMP CKerunelCtrl::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (out == nullptr) return E_POINTER;
  IConnectionPoint* points[] = {&m_events};
  auto* e = new (std::nothrow)
      CEnumConnectionPoints(points, 1, static_cast<IConnectionPointContainer*>(this));
  if (e == nullptr) return E_OUTOFMEMORY;
  *out = e;
  return S_OK;
}

STDMETHODIMP CKerunelCtrl::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid != kEventsIid) return CONNECT_E_NOCONNECTION;
  *out = &m_events;
  m_events.AddRef();
  return S_OK;
}

STDMETHODIMP CKerunelCtrl::GetControlInfo(CONTROLINFO* info) {
  if (info == nullptr) return E_POINTER;
  info->hAccel = nullptr;
  info->cAccel = 0;
  info->dwFlags = 0;
  return S_OK;
}

STDMETHODIMP CKerunelCtrl::OnMnemonic(MSG*) {
  return S_OK;
}

STDMETHODIMP CKerunelCtrl::OnAmbientPropertyChange(DISPID dispid) {
  m_embedding.OnAmbientPropertyChange(dispid);
  return S_OK;
}

STDMETHODIMP CKerunelCtrl::FreezeEvents(BOOL freeze) {
  // Only the outermost freeze and the matching thaw reach the Service
  // Object; the flag goes on as its low 16 bits.
  const VARIANT_BOOL flag = static_cast<VARIANT_BOOL>(freeze & 0xFFFF);
  BusyScope busy(*this);
  if (freeze) {
    if (++m_freezeCount == 1 && m_bOpen) m_service.COFreezeEvents(flag);
  } else if (m_freezeCount > 0) {
    // A thaw without a freeze is ignored rather than counted below zero.
    if (--m_freezeCount == 0 && m_bOpen) m_service.COFreezeEvents(flag);
  }
  return S_OK;
}

STDMETHODIMP CKerunelCtrl::GetClassInfo(ITypeInfo** out) {
  return LoadOwnTypeInfo(kControlClsid, out);
}

STDMETHODIMP CKerunelCtrl::GetGUID(DWORD kind, GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = GUID_NULL;
    return E_INVALIDARG;
  }
  *guid = kEventsIid;
  return S_OK;
}

}  // namespace kr
