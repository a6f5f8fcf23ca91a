// CKerunelCtrl: the Kerunel control object. It shows the container one
// dispatch interface (_DKerunel), driven by the member table, binds the
// Service Object configured for a logical device name at Open, forwards
// every OPOS call to it, and fires the Service Object's callbacks as events
// through one connection point (_DKerunelEvents). Containers embed it
// through COleEmbedding.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <ocidl.h>
#include <olectl.h>

#include <vector>

#include "ansi_text.h"
#include "member_table.h"
#include "ole_embedding.h"
#include "service_dispatch.h"
#include "win_raii.h"

namespace kr {

class CKerunelCtrl;

// The connection point for _DKerunelEvents. It lives inside the control and
// shares its reference count.
class CEventConnectionPoint final : public IConnectionPoint {
 public:
  explicit CEventConnectionPoint(CKerunelCtrl& owner) : m_owner(owner) {}

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IConnectionPoint
  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** out) override;

  // Invokes `dispid` on every connected sink in connection order; a sink's
  // failure is discarded and delivery goes on.
  void Fire(DISPID dispid, DISPPARAMS* params);
  void DisconnectAll() { m_sinks.clear(); }

 private:
  struct Sink {
    DWORD cookie;
    ComPtr<IDispatch> dispatch;
  };
  CKerunelCtrl& m_owner;
  std::vector<Sink> m_sinks;
  DWORD m_nextCookie = 1;
};

class CKerunelCtrl final : public IDispatch,
                           public IConnectionPointContainer,
                           public IOleControl,
                           public IProvideClassInfo2 {
 public:
  CKerunelCtrl();
  ~CKerunelCtrl();
  CKerunelCtrl(const CKerunelCtrl&) = delete;
  CKerunelCtrl& operator=(const CKerunelCtrl&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* dispids) override;
  STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

  // IOleControl
  STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
  STDMETHODIMP OnMnemonic(MSG* msg) override;
  STDMETHODIMP OnAmbientPropertyChange(DISPID dispid) override;
  STDMETHODIMP FreezeEvents(BOOL freeze) override;

  // IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** out) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

  // OPOS session (the members that do more than forward).
  LONG Open(const char* deviceName);
  LONG Close();

 private:
  HRESULT InvokeProperty(const Member& member, WORD flags, DISPPARAMS* params, VARIANT* result,
                         EXCEPINFO* excepInfo, UINT* argErr);
  HRESULT GetProperty(const Member& member, VARIANT* result);
  HRESULT InvokeMethod(const Member& member, ServiceArgs& args, VARIANT* result);
  // Looks the device up, creates and binds its Service Object and opens it;
  // returns 0 with the binding kept, or Open's failure code with none kept.
  LONG Bind(const char* deviceName);
  void FireEvent(const Member& member, ServiceArgs& args);

  // Keeps the object while one of its calls is under way: a handler may drop
  // the container's last reference from inside it.
  class BusyScope;

  LONG m_refs = 1;
  int m_busy = 0;  // calls of this object under way
  CEventConnectionPoint m_events{*this};
  COleEmbedding m_embedding{*this};
  LONG m_freezeCount = 0;

  const char* const m_strDescription;
  const LONG m_lCOVersion;
  CServiceDispatch m_service{this};
  bool m_bOpen = false;
  // Open or Close under way: a handler or a message dispatched during the
  // Service Object's call must not start another one on the same binding.
  bool m_opening = false;
  bool m_closing = false;
};

// Resolves names as the control's dispatch interface does: through the
// type library for a caller that passes a locale, else the first name by
// the member table; returns S_OK, DISP_E_UNKNOWNNAME or
// DISP_E_UNKNOWNINTERFACE.
HRESULT ResolveMemberNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* dispids);

// Loads the type information of `guid` from the module's own type library;
// returns its HRESULT.
HRESULT LoadOwnTypeInfo(REFGUID guid, ITypeInfo** out);

// Module-wide count of live objects, for DllCanUnloadNow.
void ModuleAddRef();
void ModuleRelease();
LONG ModuleUsage();

}  // namespace kr
