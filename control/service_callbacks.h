// CServiceCallbacks: what the control hands the Service Object in
// "OpenService". It answers like the control's own dispatch interface
// (names, DISPIDs, type information) and forwards every call to the control
// while the control lives, but the Service Object's reference on it does not
// keep the control alive: an application's last release still destroys the
// control, which closes the session.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <oaidl.h>

namespace kr {

class CServiceCallbacks final : public IDispatch {
 public:
  // Forwards to `control`, which is not referenced: the control calls
  // Detach before it goes away.
  explicit CServiceCallbacks(IDispatch* control);
  CServiceCallbacks(const CServiceCallbacks&) = delete;
  CServiceCallbacks& operator=(const CServiceCallbacks&) = delete;

  // The control is going away: later calls do not reach it.
  void Detach() { m_control = nullptr; }

  // Whether a call the Service Object made through this object, or a
  // callback it made straight to the control, is under way: the Service
  // Object's own code is on the stack below it.
  bool InCallback() const { return m_depth > 0; }

  // Counts a callback under way for as long as it lives.
  class Scope {
   public:
    explicit Scope(CServiceCallbacks* owner) : m_owner(owner) {
      if (m_owner) ++m_owner->m_depth;
    }
    ~Scope() {
      if (m_owner) --m_owner->m_depth;
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    CServiceCallbacks* m_owner;
  };

  // IUnknown: IDispatch and _DKerunel only; the control's other interfaces
  // would hand the Service Object a reference that keeps the control alive.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* dispids) override;
  // Forwards to the control. Once the control is gone the callbacks
  // return at once (there is no one left to tell), SOProcessID answers 0
  // and every other member answers CO_E_OBJNOTCONNECTED.
  STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

 private:
  ~CServiceCallbacks();

  LONG m_refs = 1;
  IDispatch* m_control;
  int m_depth = 0;
};

}  // namespace kr
