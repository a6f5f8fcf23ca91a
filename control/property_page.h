// CKerunelPropPage: the control's one property page (dialog 200). It only
// informs: the control's description, its version and the OPOS release it
// follows. It reads and writes no property of the control.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <ocidl.h>

#include "win_raii.h"

namespace kr {

class CKerunelPropPage final : public IPropertyPage {
 public:
  CKerunelPropPage();
  ~CKerunelPropPage();
  CKerunelPropPage(const CKerunelPropPage&) = delete;
  CKerunelPropPage& operator=(const CKerunelPropPage&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IPropertyPage
  STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
  STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  STDMETHODIMP Deactivate() override;
  STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
  STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
  STDMETHODIMP Show(UINT cmdShow) override;
  STDMETHODIMP Move(LPCRECT rect) override;
  STDMETHODIMP IsPageDirty() override;
  STDMETHODIMP Apply() override;
  STDMETHODIMP Help(LPCOLESTR helpDir) override;
  STDMETHODIMP TranslateAccelerator(MSG* msg) override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  // Puts the three texts into their controls.
  void ExchangeData(HWND dialog) const;

  LONG m_refs = 1;
  ComPtr<IPropertyPageSite> m_site;
  UniqueWindow m_dialog;  // while active

  const char* const m_strDescription;
  const char* const m_strVersion;
  const char* const m_strRelease;
};

}  // namespace kr
