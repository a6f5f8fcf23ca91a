#include "service_callbacks.h"

#include "kerunel_ctrl.h"
#include "kerunel_ids.h"
#include "member_table.h"
#include "win_raii.h"

namespace kr {

CServiceCallbacks::CServiceCallbacks(IDispatch* control) : m_control(control) {
  ModuleAddRef();
}

CServiceCallbacks::~CServiceCallbacks() {
  ModuleRelease();
}

STDMETHODIMP CServiceCallbacks::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kDispatchIid) {
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CServiceCallbacks::AddRef() {
  return ::InterlockedIncrement(&m_refs);
}

STDMETHODIMP_(ULONG) CServiceCallbacks::Release() {
  const LONG refs = ::InterlockedDecrement(&m_refs);
  if (refs == 0) delete this;
  return refs;
}

STDMETHODIMP CServiceCallbacks::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP CServiceCallbacks::GetTypeInfo(UINT index, LCID, ITypeInfo** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return LoadOwnTypeInfo(kDispatchIid, out);
}

STDMETHODIMP CServiceCallbacks::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                              DISPID* dispids) {
  return ResolveMemberNames(iid, names, count, lcid, dispids);
}

STDMETHODIMP CServiceCallbacks::Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags,
                                       DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                       UINT* argErr) {
  // Both the Service Object and the control may let go of this object, and
  // a handler may let go of the control, before the call returns.
  ComPtr<IDispatch> self(this);
  Scope callback(this);
  ComPtr<IDispatch> control(m_control);
  if (control) {
    return control->Invoke(dispid, iid, lcid, flags, params, result, excepInfo, argErr);
  }
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  const Member* member = FindMember(dispid);
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
  if (member->action == MemberAction::kFireEvent) return S_OK;
  if (member->action == MemberAction::kProcessId) {
    if (result != nullptr) {
      ::VariantInit(result);
      result->vt = VT_I4;
      result->lVal = 0;
    }
    return S_OK;
  }
  return CO_E_OBJNOTCONNECTED;
}

}  // namespace kr
