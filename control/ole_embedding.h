// COleEmbedding: the OLE protocols through which a container (a form
// designer, a scripting host, the test bench) sites, activates, sizes,
// draws and persists the control. It lives inside CKerunelCtrl and shares
// its identity and reference count.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <ocidl.h>
#include <oleidl.h>

#include <array>
#include <cstdint>

#include "win_raii.h"

namespace kr {

class CKerunelCtrl;

// OLEMISC bits that containers read: recompose on resize, can't link
// inside, inside-out, activate when visible, invisible at run time, set
// client site first.
constexpr DWORD kControlMiscStatus = 0x20591;

class COleEmbedding final : public IOleObject,
                            public IOleInPlaceObject,
                            public IOleInPlaceActiveObject,
                            public IViewObject2,
                            public IPersistStreamInit,
                            public IPersistStorage,
                            public IPersistPropertyBag,
                            public ISpecifyPropertyPages,
                            public IQuickActivate {
 public:
  explicit COleEmbedding(CKerunelCtrl& owner);
  ~COleEmbedding();
  COleEmbedding(const COleEmbedding&) = delete;
  COleEmbedding& operator=(const COleEmbedding&) = delete;

  // Hands out one of the interfaces below with a reference; false when
  // `iid` is none of them.
  bool Query(REFIID iid, void** out);
  // The container's ambient properties changed (DISPID_UNKNOWN: any of them).
  void OnAmbientPropertyChange(DISPID dispid);
  // The container's window, to own dialogs of the control; none outside one.
  HWND ContainerWindow() const;

  // IUnknown (the control's)
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IOleObject
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** out) override;
  STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
  STDMETHODIMP Close(DWORD saveOption) override;
  STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override;
  STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** out) override;
  STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
  STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** out) override;
  STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* activeSite, LONG index, HWND parent,
                      LPCRECT posRect) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** out) override;
  STDMETHODIMP Update() override;
  STDMETHODIMP IsUpToDate() override;
  STDMETHODIMP GetUserClassID(CLSID* clsid) override;
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* out) override;
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** out) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;

  // IOleWindow (of both in-place interfaces)
  STDMETHODIMP GetWindow(HWND* out) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
  // IOleInPlaceObject
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override;
  STDMETHODIMP SetObjectRects(LPCRECT pos, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override;
  // IOleInPlaceActiveObject
  STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
  STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
  STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
  STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
  STDMETHODIMP EnableModeless(BOOL enable) override;

  // IViewObject2
  STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                    HDC targetDc, HDC dc, LPCRECTL bounds, LPCRECTL metafileBounds,
                    BOOL(STDMETHODCALLTYPE* shouldContinue)(ULONG_PTR), ULONG_PTR token) override;
  STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                           HDC targetDc, LOGPALETTE** out) override;
  STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspectInfo, DWORD* cookie) override;
  STDMETHODIMP Unfreeze(DWORD cookie) override;
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
  STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;

  // IPersist, IPersistStreamInit, IPersistStorage, IPersistPropertyBag
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  STDMETHODIMP IsDirty() override;
  STDMETHODIMP InitNew() override;
  STDMETHODIMP Load(IStream* stream) override;
  STDMETHODIMP Save(IStream* stream, BOOL clearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  STDMETHODIMP InitNew(IStorage* storage) override;
  STDMETHODIMP Load(IStorage* storage) override;
  STDMETHODIMP Save(IStorage* storage, BOOL sameAsLoad) override;
  STDMETHODIMP SaveCompleted(IStorage* storage) override;
  STDMETHODIMP HandsOffStorage() override;
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
  STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

  // ISpecifyPropertyPages
  STDMETHODIMP GetPages(CAUUID* pages) override;

  // IQuickActivate
  STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
  STDMETHODIMP SetContentExtent(LPSIZEL size) override;
  STDMETHODIMP GetContentExtent(LPSIZEL size) override;

 private:
  // The persisted state: version stamp, extent (HIMETRIC), stock-property
  // mask; stored as four little-endian 32-bit fields.
  using StoredState = std::array<uint32_t, 4>;

  StoredState State() const;
  void Restore(const StoredState& state);
  // Back to the state of a new control, repainted.
  void Reset();

  HRESULT InPlaceActivate(IOleClientSite* activeSite, LPCRECT posRect, bool uiActivate);
  // The container lets go of the control: out of place, device closed.
  void EndEmbedding();

  // The design-time picture: the extent goes back to 32 x 32 pixels, and the
  // picture is drawn only into a 32 x 32 rectangle.
  void DrawDesign(HDC dc, const RECT& rect);
  void KeepDesignSize();
  // Tells the view sink and the window that the picture changed.
  void ViewChanged();

  void CreateControlWindow(HWND parent, const RECT& pos);
  void DestroyControlWindow();
  void ShowControlWindow();
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HRESULT ShowPropertyFrame(HWND parent);
  IOleAdviseHolder* AdviseHolder();

  CKerunelCtrl& m_owner;
  ComPtr<IOleClientSite> m_clientSite;
  ComPtr<IOleInPlaceSite> m_inPlaceSite;  // while in-place active
  ComPtr<IOleInPlaceFrame> m_frame;
  ComPtr<IOleInPlaceUIWindow> m_document;
  ComPtr<IOleAdviseHolder> m_adviseHolder;
  ComPtr<IAdviseSink> m_viewSink;
  DWORD m_viewAspects = 0;
  DWORD m_viewFlags = 0;
  HWND m_window = nullptr;  // while in-place active in a container window
  RECT m_posRect{};
  bool m_uiActive = false;
  bool m_userMode = true;  // the container's ambient UserMode
  bool m_dirty = false;
  bool m_savedSameAsLoad = false;  // IPersistStorage::Save until SaveCompleted
  SIZEL m_extent;                  // HIMETRIC
};

}  // namespace kr
