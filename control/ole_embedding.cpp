#include "ole_embedding.h"

#include <olectl.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "com_enumerator.h"
#include "kerunel_ctrl.h"
#include "kerunel_ids.h"
#include "kerunel_resources.h"
#include "own_module.h"

namespace kr {

namespace {

constexpr uint32_t kStateVersion = 0x00010000;  // major 1, minor 0
constexpr LONG kDesignPixels = 32;              // the control's fixed size
constexpr LONG kHimetricPerInch = 2540;
// Names of the persisted fields in a property bag, in stream order.
constexpr const wchar_t* kBagNames[] = {L"_Version", L"_ExtentX", L"_ExtentY", L"_StockProps"};
constexpr wchar_t kStorageStream[] = L"Contents";
constexpr wchar_t kWindowClass[] = L"KerunelControl";

int ScreenDpi(int axis) {
  HDC screen = ::GetDC(nullptr);
  int dpi = screen ? ::GetDeviceCaps(screen, axis) : 0;
  if (screen) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

SIZEL DesignExtent() {
  return SIZEL{::MulDiv(kDesignPixels, kHimetricPerInch, ScreenDpi(LOGPIXELSX)),
               ::MulDiv(kDesignPixels, kHimetricPerInch, ScreenDpi(LOGPIXELSY))};
}

bool IsDesignSize(const SIZEL& himetric) {
  return ::MulDiv(himetric.cx, ScreenDpi(LOGPIXELSX), kHimetricPerInch) == kDesignPixels &&
         ::MulDiv(himetric.cy, ScreenDpi(LOGPIXELSY), kHimetricPerInch) == kDesignPixels;
}

// The container's ambient UserMode; run mode when the site does not say.
bool AmbientUserMode(IOleClientSite* site) {
  ComPtr<IDispatch> ambient;
  if (site == nullptr || FAILED(site->QueryInterface(IID_IDispatch, ambient.put_void())) ||
      !ambient) {
    return true;
  }
  UniqueVariant value;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (FAILED(ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT,
                             DISPATCH_PROPERTYGET, &none, value.get(), nullptr, nullptr)) ||
      FAILED(::VariantChangeType(value.get(), value.get(), 0, VT_BOOL))) {
    return true;
  }
  return value->boolVal != VARIANT_FALSE;
}

// Renders bitmap 201 as a picture into `rect`, then frees it.
void RenderDesignBitmap(HDC dc, const RECT& rect) {
  UniqueGdiObject bitmap(::LoadImageW(OwnModule(), MAKEINTRESOURCEW(IDB_KERUNEL_DESIGN),
                                      IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
  if (!bitmap) return;
  PICTDESC desc{};
  desc.cbSizeofstruct = sizeof(desc);
  desc.picType = PICTYPE_BITMAP;
  desc.bmp.hbitmap = static_cast<HBITMAP>(bitmap.get());
  ComPtr<IPicture> picture;
  if (FAILED(::OleCreatePictureIndirect(&desc, IID_IPicture, TRUE, picture.put_void()))) return;
  bitmap.release();  // the picture owns it now
  OLE_XSIZE_HIMETRIC width = 0;
  OLE_YSIZE_HIMETRIC height = 0;
  picture->get_Width(&width);
  picture->get_Height(&height);
  picture->Render(dc, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, 0,
                  height, width, -height, nullptr);
}

int g_windowCount = 0;  // control windows alive; the class goes with the last

// The verbs DoVerb carries out, as EnumVerbs lists them; a container puts
// the properties verb on its menu.
const OLEVERB kVerbs[] = {
    {OLEIVERB_PRIMARY, const_cast<LPOLESTR>(L"&Activate"), MF_ENABLED, 0},
    {OLEIVERB_PROPERTIES, const_cast<LPOLESTR>(L"&Properties..."), MF_ENABLED,
     OLEVERBATTRIB_ONCONTAINERMENU | OLEVERBATTRIB_NEVERDIRTIES},
    {OLEIVERB_SHOW, const_cast<LPOLESTR>(L"&Show"), MF_ENABLED, 0},
    {OLEIVERB_INPLACEACTIVATE, const_cast<LPOLESTR>(L"Activate &in place"), MF_ENABLED, 0},
    {OLEIVERB_UIACTIVATE, const_cast<LPOLESTR>(L"Activate &user interface"), MF_ENABLED, 0},
    {OLEIVERB_HIDE, const_cast<LPOLESTR>(L"&Hide"), MF_ENABLED, 0},
};

// A copy of `text` in task memory, or nullptr.
LPOLESTR TaskMemCopy(const wchar_t* text) {
  if (text == nullptr) return nullptr;
  const size_t bytes = (::lstrlenW(text) + 1) * sizeof(wchar_t);
  auto* copy = static_cast<LPOLESTR>(::CoTaskMemAlloc(bytes));
  if (copy != nullptr) std::memcpy(copy, text, bytes);
  return copy;
}

struct VerbCopy {
  static void Take(OLEVERB& verb) { verb.lpszVerbName = TaskMemCopy(verb.lpszVerbName); }
  static void Drop(OLEVERB& verb) { ::CoTaskMemFree(verb.lpszVerbName); }
};
using CEnumVerbs = CEnumerator<IEnumOLEVERB, OLEVERB, VerbCopy>;

}  // namespace

COleEmbedding::COleEmbedding(CKerunelCtrl& owner) : m_owner(owner), m_extent(DesignExtent()) {}

COleEmbedding::~COleEmbedding() {
  DestroyControlWindow();
}

bool COleEmbedding::Query(REFIID iid, void** out) {
  if (iid == IID_IOleObject) {
    *out = static_cast<IOleObject*>(this);
  } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject) {
    *out = static_cast<IOleInPlaceObject*>(this);
  } else if (iid == IID_IOleInPlaceActiveObject) {
    *out = static_cast<IOleInPlaceActiveObject*>(this);
  } else if (iid == IID_IViewObject || iid == IID_IViewObject2) {
    *out = static_cast<IViewObject2*>(this);
  } else if (iid == IID_IPersist || iid == IID_IPersistStreamInit) {
    *out = static_cast<IPersistStreamInit*>(this);
  } else if (iid == IID_IPersistStorage) {
    *out = static_cast<IPersistStorage*>(this);
  } else if (iid == IID_IPersistPropertyBag) {
    *out = static_cast<IPersistPropertyBag*>(this);
  } else if (iid == IID_ISpecifyPropertyPages) {
    *out = static_cast<ISpecifyPropertyPages*>(this);
  } else if (iid == IID_IQuickActivate) {
    *out = static_cast<IQuickActivate*>(this);
  } else {
    return false;
  }
  AddRef();
  return true;
}

STDMETHODIMP COleEmbedding::QueryInterface(REFIID iid, void** out) {
  return m_owner.QueryInterface(iid, out);
}
STDMETHODIMP_(ULONG) COleEmbedding::AddRef() {
  return m_owner.AddRef();
}
STDMETHODIMP_(ULONG) COleEmbedding::Release() {
  return m_owner.Release();
}

HWND COleEmbedding::ContainerWindow() const {
  HWND window = nullptr;
  ComPtr<IOleWindow> site;
  if (m_inPlaceSite) {
    m_inPlaceSite->GetWindow(&window);
  } else if (m_clientSite && SUCCEEDED(m_clientSite.QueryTo(IID_IOleWindow, site)) && site) {
    site->GetWindow(&window);
  }
  return window;
}

void COleEmbedding::OnAmbientPropertyChange(DISPID dispid) {
  if (dispid != DISPID_AMBIENT_USERMODE && dispid != DISPID_UNKNOWN) return;
  m_userMode = AmbientUserMode(m_clientSite.get());
  ShowControlWindow();
}

// ---------------------------------------------------------------------------
// IOleObject

STDMETHODIMP COleEmbedding::SetClientSite(IOleClientSite* site) {
  if (site == m_clientSite.get()) return S_OK;
  if (site == nullptr) {
    // The container's last word before it releases the control.
    ComPtr<IUnknown> keep(static_cast<IOleObject*>(this));
    EndEmbedding();
    m_clientSite.reset();
    return S_OK;
  }
  m_clientSite = ComPtr<IOleClientSite>(site);
  m_userMode = AmbientUserMode(site);
  return S_OK;
}

STDMETHODIMP COleEmbedding::GetClientSite(IOleClientSite** out) {
  if (out == nullptr) return E_POINTER;
  *out = m_clientSite.get();
  if (*out) (*out)->AddRef();
  return S_OK;
}

STDMETHODIMP COleEmbedding::SetHostNames(LPCOLESTR, LPCOLESTR) {
  return S_OK;
}

STDMETHODIMP COleEmbedding::Close(DWORD saveOption) {
  ComPtr<IUnknown> keep(static_cast<IOleObject*>(this));
  if ((saveOption == OLECLOSE_SAVEIFDIRTY || saveOption == OLECLOSE_PROMPTSAVE) && m_dirty &&
      m_clientSite) {
    m_clientSite->SaveObject();
  }
  EndEmbedding();
  if (m_adviseHolder) m_adviseHolder->SendOnClose();
  return S_OK;
}

void COleEmbedding::EndEmbedding() {
  InPlaceDeactivate();
  // A container lets go of its controls this way and may keep the object
  // itself for longer (a cache, a form kept for reuse): the device is not
  // left open and claimed behind it. The session ends as destruction ends it.
  m_owner.Close();
}

STDMETHODIMP COleEmbedding::SetMoniker(DWORD, IMoniker*) {
  return E_NOTIMPL;
}

STDMETHODIMP COleEmbedding::GetMoniker(DWORD, DWORD, IMoniker** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP COleEmbedding::InitFromData(IDataObject*, BOOL, DWORD) {
  return E_NOTIMPL;
}

STDMETHODIMP COleEmbedding::GetClipboardData(DWORD, IDataObject** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP COleEmbedding::DoVerb(LONG verb, LPMSG, IOleClientSite* activeSite, LONG, HWND parent,
                                   LPCRECT posRect) {
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
      return InPlaceActivate(activeSite, posRect, false);
    case OLEIVERB_UIACTIVATE:
      return InPlaceActivate(activeSite, posRect, true);
    case OLEIVERB_HIDE:
      UIDeactivate();
      if (m_window) ::ShowWindow(m_window, SW_HIDE);
      return S_OK;
    case OLEIVERB_PROPERTIES:
      return ShowPropertyFrame(parent);
    default:
      if (verb > 0) {
        // An unknown verb of the object's own range acts as the primary one.
        HRESULT hr = InPlaceActivate(activeSite, posRect, false);
        return FAILED(hr) ? hr : OLEOBJ_S_INVALIDVERB;
      }
      return E_NOTIMPL;
  }
}

HRESULT COleEmbedding::InPlaceActivate(IOleClientSite* activeSite, LPCRECT posRect,
                                       bool uiActivate) {
  if (!m_inPlaceSite) {
    IOleClientSite* client = activeSite ? activeSite : m_clientSite.get();
    ComPtr<IOleInPlaceSite> site;
    if (client == nullptr || FAILED(client->QueryInterface(IID_IOleInPlaceSite, site.put_void())) ||
        !site) {
      return E_NOINTERFACE;
    }
    if (site->CanInPlaceActivate() != S_OK) return E_FAIL;
    m_inPlaceSite = site;
    site->OnInPlaceActivate();

    HWND parent = nullptr;
    site->GetWindow(&parent);
    RECT pos{}, clip{};
    if (posRect) pos = *posRect;
    OLEINPLACEFRAMEINFO frameInfo{};
    frameInfo.cb = sizeof(frameInfo);
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> document;
    if (SUCCEEDED(site->GetWindowContext(frame.put(), document.put(), &pos, &clip, &frameInfo))) {
      m_frame = frame;
      m_document = document;
    }
    m_posRect = pos;
    if (parent) CreateControlWindow(parent, pos);
    if (m_clientSite) m_clientSite->ShowObject();
  }
  ShowControlWindow();
  if (uiActivate && !m_uiActive) {
    m_uiActive = true;
    m_inPlaceSite->OnUIActivate();
    IOleInPlaceActiveObject* active = this;
    if (m_frame) m_frame->SetActiveObject(active, nullptr);
    if (m_document) m_document->SetActiveObject(active, nullptr);
    if (m_frame) m_frame->SetBorderSpace(nullptr);
  }
  return S_OK;
}

HRESULT COleEmbedding::ShowPropertyFrame(HWND parent) {
  const wchar_t* name = nullptr;
  int length =
      ::LoadStringW(OwnModule(), IDS_KERUNEL_CONTROL_TYPE, reinterpret_cast<LPWSTR>(&name), 0);
  std::wstring caption = length > 0 ? std::wstring(name, length) : std::wstring();
  IUnknown* objects[] = {static_cast<IOleObject*>(this)};
  CLSID pages[] = {kPropPageClsid};
  return ::OleCreatePropertyFrame(parent ? parent : ContainerWindow(), 0, 0, caption.c_str(), 1,
                                  objects, 1, pages, LOCALE_USER_DEFAULT, 0, nullptr);
}

STDMETHODIMP COleEmbedding::EnumVerbs(IEnumOLEVERB** out) {
  if (out == nullptr) return E_POINTER;
  *out = new (std::nothrow)
      CEnumVerbs(kVerbs, sizeof(kVerbs) / sizeof(kVerbs[0]), static_cast<IOleObject*>(this));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP COleEmbedding::Update() {
  return S_OK;
}

STDMETHODIMP COleEmbedding::IsUpToDate() {
  return S_OK;
}

STDMETHODIMP COleEmbedding::GetUserClassID(CLSID* clsid) {
  return GetClassID(clsid);
}

STDMETHODIMP COleEmbedding::GetUserType(DWORD form, LPOLESTR* out) {
  if (out == nullptr) return E_POINTER;
  if (SUCCEEDED(::OleRegGetUserType(kControlClsid, form, out))) return S_OK;
  // Not registered (a container that creates the control from the module
  // itself): the type name the module carries.
  const wchar_t* name = nullptr;
  const int length =
      ::LoadStringW(OwnModule(), IDS_KERUNEL_CONTROL_TYPE, reinterpret_cast<LPWSTR>(&name), 0);
  *out = length > 0 ? TaskMemCopy(std::wstring(name, length).c_str()) : nullptr;
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP COleEmbedding::SetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (size == nullptr) return E_POINTER;
  if (size->cx <= 0 || size->cy <= 0) return E_INVALIDARG;
  if (size->cx != m_extent.cx || size->cy != m_extent.cy) {
    m_extent = *size;
    m_dirty = true;
    ViewChanged();
  }
  return S_OK;
}

STDMETHODIMP COleEmbedding::GetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *size = m_extent;
  return S_OK;
}

IOleAdviseHolder* COleEmbedding::AdviseHolder() {
  if (!m_adviseHolder) ::CreateOleAdviseHolder(m_adviseHolder.put());
  return m_adviseHolder.get();
}

STDMETHODIMP COleEmbedding::Advise(IAdviseSink* sink, DWORD* cookie) {
  IOleAdviseHolder* holder = AdviseHolder();
  return holder ? holder->Advise(sink, cookie) : E_OUTOFMEMORY;
}

STDMETHODIMP COleEmbedding::Unadvise(DWORD cookie) {
  return m_adviseHolder ? m_adviseHolder->Unadvise(cookie) : OLE_E_NOCONNECTION;
}

STDMETHODIMP COleEmbedding::EnumAdvise(IEnumSTATDATA** out) {
  IOleAdviseHolder* holder = AdviseHolder();
  return holder ? holder->EnumAdvise(out) : E_OUTOFMEMORY;
}

STDMETHODIMP COleEmbedding::GetMiscStatus(DWORD aspect, DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = aspect == DVASPECT_CONTENT ? kControlMiscStatus : 0;
  return S_OK;
}

STDMETHODIMP COleEmbedding::SetColorScheme(LOGPALETTE*) {
  return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// In-place activation

STDMETHODIMP COleEmbedding::GetWindow(HWND* out) {
  if (out == nullptr) return E_POINTER;
  *out = m_window;
  return m_window ? S_OK : E_FAIL;
}

STDMETHODIMP COleEmbedding::ContextSensitiveHelp(BOOL) {
  return E_NOTIMPL;
}

STDMETHODIMP COleEmbedding::InPlaceDeactivate() {
  if (!m_inPlaceSite) return S_OK;
  UIDeactivate();
  DestroyControlWindow();
  ComPtr<IOleInPlaceSite> site = std::move(m_inPlaceSite);
  m_frame.reset();
  m_document.reset();
  site->OnInPlaceDeactivate();
  return S_OK;
}

STDMETHODIMP COleEmbedding::UIDeactivate() {
  if (!m_uiActive) return S_OK;
  m_uiActive = false;
  if (m_document) m_document->SetActiveObject(nullptr, nullptr);
  if (m_frame) m_frame->SetActiveObject(nullptr, nullptr);
  if (m_inPlaceSite) m_inPlaceSite->OnUIDeactivate(FALSE);
  return S_OK;
}

STDMETHODIMP COleEmbedding::SetObjectRects(LPCRECT pos, LPCRECT) {
  if (pos == nullptr) return E_POINTER;
  m_posRect = *pos;
  if (m_window) {
    ::SetWindowPos(m_window, nullptr, pos->left, pos->top, pos->right - pos->left,
                   pos->bottom - pos->top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return S_OK;
}

STDMETHODIMP COleEmbedding::ReactivateAndUndo() {
  return INPLACE_E_NOTUNDOABLE;
}

STDMETHODIMP COleEmbedding::TranslateAccelerator(LPMSG) {
  return S_FALSE;  // the control has no keys of its own
}

STDMETHODIMP COleEmbedding::OnFrameWindowActivate(BOOL) {
  return S_OK;
}

STDMETHODIMP COleEmbedding::OnDocWindowActivate(BOOL) {
  return S_OK;
}

STDMETHODIMP COleEmbedding::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) {
  return S_OK;
}

STDMETHODIMP COleEmbedding::EnableModeless(BOOL) {
  return S_OK;
}

// ---------------------------------------------------------------------------
// The control's window and its picture

void COleEmbedding::CreateControlWindow(HWND parent, const RECT& pos) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = OwnModule();
  windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  if (g_windowCount == 0 && !::RegisterClassExW(&windowClass) &&
      ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return;
  }
  m_window = ::CreateWindowExW(0, kWindowClass, L"", WS_CHILD | WS_CLIPSIBLINGS, pos.left, pos.top,
                               pos.right - pos.left, pos.bottom - pos.top, parent, nullptr,
                               OwnModule(), this);
  if (m_window) {
    ++g_windowCount;
  } else if (g_windowCount == 0) {
    ::UnregisterClassW(kWindowClass, OwnModule());
  }
}

void COleEmbedding::DestroyControlWindow() {
  if (!m_window) return;
  ::SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
  ::DestroyWindow(m_window);
  m_window = nullptr;
  if (--g_windowCount == 0) ::UnregisterClassW(kWindowClass, OwnModule());
}

// The control is invisible at run time: its window shows only in a
// container's design mode.
void COleEmbedding::ShowControlWindow() {
  if (m_window) ::ShowWindow(m_window, m_userMode ? SW_HIDE : SW_SHOWNA);
}

LRESULT CALLBACK COleEmbedding::WindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<COleEmbedding*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_PAINT && self) {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(window, &paint);
    RECT client;
    ::GetClientRect(window, &client);
    self->DrawDesign(dc, client);
    ::EndPaint(window, &paint);
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

void COleEmbedding::DrawDesign(HDC dc, const RECT& rect) {
  KeepDesignSize();
  if (rect.right - rect.left != kDesignPixels || rect.bottom - rect.top != kDesignPixels) return;
  RenderDesignBitmap(dc, rect);
}

void COleEmbedding::KeepDesignSize() {
  if (IsDesignSize(m_extent)) return;
  m_extent = DesignExtent();
  m_dirty = true;
  if (m_inPlaceSite) {
    RECT pos = m_posRect;
    pos.right = pos.left + kDesignPixels;
    pos.bottom = pos.top + kDesignPixels;
    m_inPlaceSite->OnPosRectChange(&pos);
  }
}

void COleEmbedding::ViewChanged() {
  if (m_viewSink && (m_viewAspects & DVASPECT_CONTENT)) {
    m_viewSink->OnViewChange(DVASPECT_CONTENT, -1);
  }
  if (m_window) ::InvalidateRect(m_window, nullptr, TRUE);
}

// ---------------------------------------------------------------------------
// IViewObject2

STDMETHODIMP COleEmbedding::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc,
                                 LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                                 ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (dc == nullptr || bounds == nullptr) return E_INVALIDARG;
  RECT rect{bounds->left, bounds->top, bounds->right, bounds->bottom};
  DrawDesign(dc, rect);
  return S_OK;
}

STDMETHODIMP COleEmbedding::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                        LOGPALETTE** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  return S_FALSE;
}

STDMETHODIMP COleEmbedding::Freeze(DWORD, LONG, void*, DWORD*) {
  return E_NOTIMPL;
}

STDMETHODIMP COleEmbedding::Unfreeze(DWORD) {
  return E_NOTIMPL;
}

STDMETHODIMP COleEmbedding::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  m_viewSink = ComPtr<IAdviseSink>(sink);
  m_viewAspects = aspects;
  m_viewFlags = flags;
  return S_OK;
}

STDMETHODIMP COleEmbedding::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (aspects) *aspects = m_viewAspects;
  if (flags) *flags = m_viewFlags;
  if (sink) {
    *sink = m_viewSink.get();
    if (*sink) (*sink)->AddRef();
  }
  return S_OK;
}

STDMETHODIMP COleEmbedding::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}

// ---------------------------------------------------------------------------
// Persistence: the control has no properties of its own; what is stored is
// the version stamp, the extent and the empty stock-property mask.

COleEmbedding::StoredState COleEmbedding::State() const {
  return StoredState{kStateVersion, static_cast<uint32_t>(m_extent.cx),
                     static_cast<uint32_t>(m_extent.cy), 0};
}

void COleEmbedding::Restore(const StoredState& state) {
  // Any version stamp is accepted: there is nothing to convert. An extent
  // that cannot be one falls back to the design size.
  const LONG cx = static_cast<LONG>(state[1]), cy = static_cast<LONG>(state[2]);
  m_extent = cx > 0 && cy > 0 ? SIZEL{cx, cy} : DesignExtent();
  m_dirty = false;
  ViewChanged();
}

void COleEmbedding::Reset() {
  Restore(StoredState{kStateVersion, 0, 0, 0});
}

STDMETHODIMP COleEmbedding::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = kControlClsid;
  return S_OK;
}

STDMETHODIMP COleEmbedding::IsDirty() {
  return m_dirty ? S_OK : S_FALSE;
}

STDMETHODIMP COleEmbedding::InitNew() {
  Reset();
  return S_OK;
}

STDMETHODIMP COleEmbedding::Load(IStream* stream) {
  if (stream == nullptr) return E_POINTER;
  StoredState state{};
  ULONG read = 0;
  HRESULT hr = stream->Read(state.data(), sizeof(state), &read);
  if (FAILED(hr)) return hr;
  if (read != sizeof(state)) return STG_E_READFAULT;
  Restore(state);
  return S_OK;
}

STDMETHODIMP COleEmbedding::Save(IStream* stream, BOOL clearDirty) {
  if (stream == nullptr) return E_POINTER;
  const StoredState state = State();
  ULONG written = 0;
  HRESULT hr = stream->Write(state.data(), sizeof(state), &written);
  if (FAILED(hr)) return hr;
  if (written != sizeof(state)) return STG_E_WRITEFAULT;
  if (clearDirty) m_dirty = false;
  return S_OK;
}

STDMETHODIMP COleEmbedding::GetSizeMax(ULARGE_INTEGER* size) {
  if (size == nullptr) return E_POINTER;
  size->QuadPart = sizeof(StoredState);
  return S_OK;
}

STDMETHODIMP COleEmbedding::InitNew(IStorage* storage) {
  if (storage == nullptr) return E_POINTER;
  return InitNew();
}

STDMETHODIMP COleEmbedding::Load(IStorage* storage) {
  if (storage == nullptr) return E_POINTER;
  ComPtr<IStream> stream;
  HRESULT hr = storage->OpenStream(kStorageStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                   stream.put());
  return FAILED(hr) ? hr : Load(stream.get());
}

STDMETHODIMP COleEmbedding::Save(IStorage* storage, BOOL sameAsLoad) {
  if (storage == nullptr) return E_POINTER;
  ComPtr<IStream> stream;
  HRESULT hr = storage->CreateStream(
      kStorageStream, STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.put());
  // The container decides in SaveCompleted whether this save counts: the
  // dirty flag stays until then.
  if (SUCCEEDED(hr)) hr = Save(stream.get(), FALSE);
  m_savedSameAsLoad = SUCCEEDED(hr) && sameAsLoad;
  return hr;
}

STDMETHODIMP COleEmbedding::SaveCompleted(IStorage* storage) {
  // Saved into the storage the control lives in, or handed a new one to
  // live in: what it holds is stored. A copy saved elsewhere is not.
  if (storage != nullptr || m_savedSameAsLoad) m_dirty = false;
  m_savedSameAsLoad = false;
  return S_OK;
}

STDMETHODIMP COleEmbedding::HandsOffStorage() {
  return S_OK;  // no storage is kept open
}

STDMETHODIMP COleEmbedding::Load(IPropertyBag* bag, IErrorLog* log) {
  if (bag == nullptr) return E_POINTER;
  // A bag holds what a page or a form wrote; missing entries keep their
  // new-control values.
  StoredState state{kStateVersion, 0, 0, 0};
  for (size_t i = 0; i < state.size(); ++i) {
    UniqueVariant value;
    value->vt = VT_I4;
    if (SUCCEEDED(bag->Read(kBagNames[i], value.get(), log)) &&
        SUCCEEDED(::VariantChangeType(value.get(), value.get(), 0, VT_I4))) {
      state[i] = static_cast<uint32_t>(value->lVal);
    }
  }
  Restore(state);
  return S_OK;
}

STDMETHODIMP COleEmbedding::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
  if (bag == nullptr) return E_POINTER;
  const StoredState state = State();
  for (size_t i = 0; i < state.size(); ++i) {
    VARIANT value;
    value.vt = VT_I4;
    value.lVal = static_cast<LONG>(state[i]);
    HRESULT hr = bag->Write(kBagNames[i], &value);
    if (FAILED(hr)) return hr;
  }
  if (clearDirty) m_dirty = false;
  return S_OK;
}

// ---------------------------------------------------------------------------
// ISpecifyPropertyPages, IQuickActivate

STDMETHODIMP COleEmbedding::GetPages(CAUUID* pages) {
  if (pages == nullptr) return E_POINTER;
  pages->pElems = static_cast<GUID*>(::CoTaskMemAlloc(sizeof(GUID)));
  if (pages->pElems == nullptr) {
    pages->cElems = 0;
    return E_OUTOFMEMORY;
  }
  pages->pElems[0] = kPropPageClsid;
  pages->cElems = 1;
  return S_OK;
}

STDMETHODIMP COleEmbedding::QuickActivate(QACONTAINER* container, QACONTROL* control) {
  if (container == nullptr || control == nullptr) return E_POINTER;
  // Older containers pass shorter structures: what the control reads and
  // writes must be there, and nothing beyond the sizes given is touched.
  constexpr ULONG kContainerNeeds = offsetof(QACONTAINER, colorFore);
  constexpr ULONG kControlNeeds = offsetof(QACONTROL, dwPointerActivationPolicy);
  if (container->cbSize < kContainerNeeds || control->cbSize < kControlNeeds) return E_INVALIDARG;
  SetClientSite(container->pClientSite);
  m_userMode = (container->dwAmbientFlags & QACONTAINER_USERMODE) != 0;
  if (container->pAdviseSink) SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
  control->dwMiscStatus = kControlMiscStatus;
  control->dwViewStatus = 0;
  control->dwEventCookie = 0;
  control->dwPropNotifyCookie = 0;
  if (control->cbSize >= sizeof(QACONTROL)) control->dwPointerActivationPolicy = 0;
  if (container->pUnkEventSink) {
    ComPtr<IConnectionPoint> events;
    HRESULT hr = m_owner.FindConnectionPoint(kEventsIid, events.put());
    if (SUCCEEDED(hr)) hr = events->Advise(container->pUnkEventSink, &control->dwEventCookie);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

STDMETHODIMP COleEmbedding::SetContentExtent(LPSIZEL size) {
  return SetExtent(DVASPECT_CONTENT, size);
}

STDMETHODIMP COleEmbedding::GetContentExtent(LPSIZEL size) {
  return GetExtent(DVASPECT_CONTENT, size);
}

}  // namespace kr
