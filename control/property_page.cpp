#include "property_page.h"

#include <new>
#include <string>

#include "kerunel_ctrl.h"
#include "kerunel_resources.h"
#include "kerunel_texts.h"
#include "own_module.h"

namespace kr {

namespace {

INT_PTR CALLBACK MeasureProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG;
}

// The page's size in pixels: its template laid out in its own font.
SIZE PageSize() {
  UniqueWindow probe(::CreateDialogParamW(OwnModule(), MAKEINTRESOURCEW(IDD_KERUNEL_PROPPAGE),
                                          ::GetDesktopWindow(), MeasureProc, 0));
  RECT rect{};
  if (probe) ::GetWindowRect(probe.get(), &rect);
  return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

// A copy of string resource `id` in task memory, or nullptr.
LPOLESTR TaskMemString(UINT id) {
  const wchar_t* text = nullptr;
  int length = ::LoadStringW(OwnModule(), id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0) return nullptr;
  auto* copy = static_cast<LPOLESTR>(::CoTaskMemAlloc((length + 1) * sizeof(wchar_t)));
  if (copy == nullptr) return nullptr;
  ::memcpy(copy, text, length * sizeof(wchar_t));
  copy[length] = L'\0';
  return copy;
}

}  // namespace

CKerunelPropPage::CKerunelPropPage()
    : m_strDescription(kControlDescription),
      m_strVersion("1.0"),
      m_strRelease("Release 1.3 Compliant") {
  ModuleAddRef();
}

CKerunelPropPage::~CKerunelPropPage() {
  m_dialog.reset();
  ModuleRelease();
}

STDMETHODIMP CKerunelPropPage::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IPropertyPage) {
    *out = static_cast<IPropertyPage*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CKerunelPropPage::AddRef() {
  return ::InterlockedIncrement(&m_refs);
}

STDMETHODIMP_(ULONG) CKerunelPropPage::Release() {
  LONG refs = ::InterlockedDecrement(&m_refs);
  if (refs == 0) delete this;
  return refs;
}

STDMETHODIMP CKerunelPropPage::SetPageSite(IPropertyPageSite* site) {
  m_site = ComPtr<IPropertyPageSite>(site);
  return S_OK;
}

INT_PTR CALLBACK CKerunelPropPage::DialogProc(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    reinterpret_cast<const CKerunelPropPage*>(lParam)->ExchangeData(dialog);
    return FALSE;  // the frame decides where the focus goes
  }
  return FALSE;
}

void CKerunelPropPage::ExchangeData(HWND dialog) const {
  ::SetDlgItemTextA(dialog, IDC_KERUNEL_DESCRIPTION, m_strDescription);
  ::SetDlgItemTextA(dialog, IDC_KERUNEL_VERSION, m_strVersion);
  ::SetDlgItemTextA(dialog, IDC_KERUNEL_RELEASE, m_strRelease);
}

STDMETHODIMP CKerunelPropPage::Activate(HWND parent, LPCRECT rect, BOOL) {
  if (m_dialog) return E_UNEXPECTED;
  if (rect == nullptr) return E_POINTER;
  m_dialog.reset(::CreateDialogParamW(OwnModule(), MAKEINTRESOURCEW(IDD_KERUNEL_PROPPAGE), parent,
                                      DialogProc, reinterpret_cast<LPARAM>(this)));
  if (!m_dialog) return HRESULT_FROM_WIN32(::GetLastError());
  return Move(rect);
}

STDMETHODIMP CKerunelPropPage::Deactivate() {
  m_dialog.reset();
  return S_OK;
}

STDMETHODIMP CKerunelPropPage::GetPageInfo(PROPPAGEINFO* info) {
  if (info == nullptr) return E_POINTER;
  info->cb = sizeof(PROPPAGEINFO);
  info->pszTitle = TaskMemString(IDS_KERUNEL_PROPPAGE_TITLE);
  info->size = PageSize();
  info->pszDocString = nullptr;
  info->pszHelpFile = nullptr;
  info->dwHelpContext = 0;
  return info->pszTitle != nullptr ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CKerunelPropPage::SetObjects(ULONG count, IUnknown** objects) {
  // The page shows nothing of the objects, so it keeps none of them.
  return count > 0 && objects == nullptr ? E_POINTER : S_OK;
}

STDMETHODIMP CKerunelPropPage::Show(UINT cmdShow) {
  if (!m_dialog) return E_UNEXPECTED;
  ::ShowWindow(m_dialog.get(), static_cast<int>(cmdShow));
  return S_OK;
}

STDMETHODIMP CKerunelPropPage::Move(LPCRECT rect) {
  if (rect == nullptr) return E_POINTER;
  if (!m_dialog) return E_UNEXPECTED;
  ::SetWindowPos(m_dialog.get(), nullptr, rect->left, rect->top, rect->right - rect->left,
                 rect->bottom - rect->top, SWP_NOZORDER | SWP_NOACTIVATE);
  return S_OK;
}

STDMETHODIMP CKerunelPropPage::IsPageDirty() {
  return S_FALSE;
}

STDMETHODIMP CKerunelPropPage::Apply() {
  return S_OK;
}

STDMETHODIMP CKerunelPropPage::Help(LPCOLESTR) {
  return E_NOTIMPL;
}

STDMETHODIMP CKerunelPropPage::TranslateAccelerator(MSG* msg) {
  if (msg == nullptr) return E_POINTER;
  return m_dialog && ::IsDialogMessageW(m_dialog.get(), msg) ? S_OK : S_FALSE;
}

}  // namespace kr
