// The control hosted the way containers host it: a minimal container (client
// site, in-place site, ambient UserMode) creates it by ProgID, activates,
// persists, draws and closes it; and the about box and the property page as
// a person sees them on the virtual display.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "com_server.h"
#include "control_fixture.h"
#include "kerunel_texts.h"
#include "opos.h"

namespace {

using ctl::Args;

// The container side: one site object with the interfaces a control asks
// its site for. It lives on the test's stack; references do not free it.
class TestSite final : public IOleClientSite,
                       public IOleInPlaceSite,
                       public kr::DispatchByIdOnly<> {
 public:
  explicit TestSite(HWND window) : window_(window) {}

  bool userMode = true;
  bool inPlaceActive = false;
  int posRectChanges = 0;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IOleClientSite) {
      *out = static_cast<IOleClientSite*>(this);
    } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite) {
      *out = static_cast<IOleInPlaceSite*>(this);
    } else if (iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return S_OK; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetContainer(IOleContainer** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleInPlaceSite
  STDMETHODIMP GetWindow(HWND* out) override {
    *out = window_;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override {
    inPlaceActive = true;
    return S_OK;
  }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                LPRECT pos, LPRECT clip, LPOLEINPLACEFRAMEINFO) override {
    *frame = nullptr;
    *document = nullptr;
    *pos = *clip = RECT{10, 10, 42, 42};
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override {
    inPlaceActive = false;
    return S_OK;
  }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override {
    ++posRectChanges;
    return S_OK;
  }

  // IDispatch: the ambient properties; only UserMode is known.
  STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (dispid != DISPID_AMBIENT_USERMODE || result == nullptr) return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_BOOL;
    result->boolVal = userMode ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }

 private:
  HWND window_;
};

// A property bag as a scripting host keeps one; it records what is written.
class TestBag final : public IPropertyBag {
 public:
  std::map<std::wstring, kr::UniqueVariant> values;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IPropertyBag) {
      *out = static_cast<IPropertyBag*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
    auto it = values.find(name);
    if (it == values.end()) return E_INVALIDARG;
    return VariantCopy(value, it->second.get());
  }
  STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
    return VariantCopy(values[name].put(), value);
  }
};

using Bytes = std::vector<BYTE>;

// The 16 bytes a stored control holds: version 1.0, extent cx x cy
// (HIMETRIC), no stock properties.
Bytes StoredControl(LONG cx, LONG cy, size_t length = 16) {
  const DWORD fields[] = {0x00010000, static_cast<DWORD>(cx), static_cast<DWORD>(cy), 0};
  const BYTE* bytes = reinterpret_cast<const BYTE*>(fields);
  return Bytes(bytes, bytes + length);
}

kr::ComPtr<IStream> StreamOf(const Bytes& bytes) {
  kr::ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  LARGE_INTEGER start{};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  return stream;
}

Bytes ContentOf(IStream* stream) {
  STATSTG stat{};
  stream->Stat(&stat, STATFLAG_NONAME);
  Bytes bytes(static_cast<size_t>(stat.cbSize.QuadPart));
  LARGE_INTEGER start{};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  ULONG read = 0;
  stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
  bytes.resize(read);
  return bytes;
}

SIZEL ExtentOf(IOleObject* control) {
  SIZEL size{-1, -1};
  EXPECT_EQ(S_OK, control->GetExtent(DVASPECT_CONTENT, &size));
  return size;
}

constexpr LONG kDesignHimetric = 847;  // 32 pixels at 96 pixels per inch

class EmbeddingTest : public ctl::ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    using ServerFn = HRESULT(STDAPICALLTYPE*)();
    auto registerServer = reinterpret_cast<ServerFn>(
        reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllRegisterServer")));
    ASSERT_EQ(S_OK, registerServer());
    window_.reset(CreateWindowExW(0, L"#32770", L"Kerunel container", WS_OVERLAPPEDWINDOW, 0, 0,
                                  200, 120, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(window_);
    site_ = std::make_unique<TestSite>(window_.get());
  }
  void TearDown() override {
    ServiceTest::TearDown();
    auto unregisterServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllUnregisterServer")));
    if (unregisterServer) unregisterServer();
  }

  // A new control created by its ProgID, as a container inserts it.
  kr::ComPtr<IOleObject> Insert() {
    CLSID clsid{};
    EXPECT_EQ(S_OK, CLSIDFromProgID(kr::kControlProgId, &clsid));
    kr::ComPtr<IOleObject> control;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                     control.put_void()));
    return control;
  }
  // Sites a new control, initialises it and activates it in place.
  kr::ComPtr<IOleObject> InsertActive() {
    kr::ComPtr<IOleObject> control = Insert();
    if (!control) return control;
    DWORD misc = 0;
    EXPECT_EQ(S_OK, control->GetMiscStatus(DVASPECT_CONTENT, &misc));
    EXPECT_EQ(132497u, misc);  // among them: set the client site first
    EXPECT_EQ(S_OK, control->SetClientSite(site_.get()));
    kr::ComPtr<IPersistStreamInit> persist;
    EXPECT_EQ(S_OK, control.QueryTo(IID_IPersistStreamInit, persist));
    EXPECT_EQ(S_OK, persist->InitNew());
    RECT pos{10, 10, 42, 42};
    EXPECT_EQ(S_OK, control->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_.get(), 0,
                                    window_.get(), &pos));
    EXPECT_TRUE(site_->inPlaceActive);
    return control;
  }
  // The control's OPOS method by DISPID, through its IDispatch.
  LONG CallOn(IUnknown* control, DISPID dispid, Args& args) {
    kr::ComPtr<IDispatch> dispatch;
    EXPECT_EQ(S_OK, control->QueryInterface(IID_IDispatch, dispatch.put_void()));
    kr::UniqueVariant result;
    EXPECT_EQ(S_OK, ctl::InvokeMethod(dispatch.get(), dispid, args, result.get()));
    return result->lVal;
  }

  kr::UniqueWindow window_;
  std::unique_ptr<TestSite> site_;
};

TEST_F(EmbeddingTest, ContainerLettingGoClosesTheOpenDevice) {
  // A container may keep the object after its last words (a cache, a form
  // kept for reuse): the session ends with those words, not with the object.
  const struct {
    const char* how;
    HRESULT (*letGo)(IOleObject*);
  } kWays[] = {
      {"IOleObject::Close", [](IOleObject* c) { return c->Close(OLECLOSE_NOSAVE); }},
      {"SetClientSite(nullptr)", [](IOleObject* c) { return c->SetClientSite(nullptr); }},
  };
  UINT closes = 0;
  for (const auto& way : kWays) {
    SCOPED_TRACE(way.how);
    kr::ComPtr<IOleObject> control = InsertActive();
    ASSERT_TRUE(control);
    EXPECT_EQ(0, CallOn(control.get(), KR_DISPID_Open, Args().Text(kDevice)));
    EXPECT_EQ(1, so_.Counters().controlRefsHeld);

    EXPECT_EQ(S_OK, way.letGo(control.get()));
    EXPECT_EQ(++closes, Count(L"Close"));
    EXPECT_EQ(0, so_.Counters().controlRefsHeld);
    EXPECT_EQ(0, so_.Counters().liveObjects);
    EXPECT_FALSE(site_->inPlaceActive);
    Args none;
    EXPECT_EQ(opos::OPOS_E_CLOSED, CallOn(control.get(), KR_DISPID_Close, none));

    control->SetClientSite(nullptr);
    EXPECT_EQ(0u, control.detach()->Release());
  }
}

TEST_F(EmbeddingTest, StoresSixteenBytesAndLoadsOnlyTheExtent) {
  kr::ComPtr<IOleObject> control = InsertActive();
  ASSERT_TRUE(control);
  kr::ComPtr<IPersistStreamInit> persist;
  ASSERT_EQ(S_OK, control.QueryTo(IID_IPersistStreamInit, persist));
  EXPECT_EQ(S_FALSE, persist->IsDirty());
  ULARGE_INTEGER max{};
  EXPECT_EQ(S_OK, persist->GetSizeMax(&max));
  EXPECT_EQ(16u, max.QuadPart);
  kr::ComPtr<IStream> saved = StreamOf({});
  ASSERT_EQ(S_OK, persist->Save(saved.get(), TRUE));
  EXPECT_EQ(StoredControl(kDesignHimetric, kDesignHimetric), ContentOf(saved.get()));

  // Loading touches no OPOS property of an open device.
  EXPECT_EQ(0, CallOn(control.get(), KR_DISPID_Open, Args().Text(kDevice)));
  const UINT serviceCalls = so_->CallCount();
  const struct {
    const char* what;
    Bytes stream;
    bool loads;
    SIZEL extent;
  } kStreams[] = {
      {"a stored 1000 x 500", StoredControl(1000, 500), true, {1000, 500}},
      {"a cut stream", StoredControl(2000, 2000, 8), false, {1000, 500}},
      {"an empty extent", StoredControl(0, 0), true, {kDesignHimetric, kDesignHimetric}},
  };
  for (const auto& c : kStreams) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.loads, SUCCEEDED(persist->Load(StreamOf(c.stream).get())));
    SIZEL extent = ExtentOf(control.get());
    EXPECT_EQ(c.extent.cx, extent.cx);
    EXPECT_EQ(c.extent.cy, extent.cy);
    EXPECT_EQ(S_FALSE, persist->IsDirty());
  }
  EXPECT_EQ(serviceCalls, so_->CallCount());

  // In a compound document the same bytes sit in the "Contents" stream.
  kr::ComPtr<ILockBytes> bytes;
  ASSERT_EQ(S_OK, CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.put()));
  kr::ComPtr<IStorage> storage;
  ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(bytes.get(),
                                               STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                               0, storage.put()));
  kr::ComPtr<IPersistStorage> persistStorage;
  ASSERT_EQ(S_OK, control.QueryTo(IID_IPersistStorage, persistStorage));
  ASSERT_EQ(S_OK, persistStorage->Save(storage.get(), FALSE));
  kr::ComPtr<IStream> contents;
  ASSERT_EQ(S_OK, storage->OpenStream(L"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                      contents.put()));
  EXPECT_EQ(StoredControl(kDesignHimetric, kDesignHimetric), ContentOf(contents.get()));
  contents.reset();
  EXPECT_EQ(S_OK, persistStorage->Load(storage.get()));

  // A scripting host's property bag: the same four fields by name; missing
  // ones keep a new control's values.
  kr::ComPtr<IPersistPropertyBag> persistBag;
  ASSERT_EQ(S_OK, control.QueryTo(IID_IPersistPropertyBag, persistBag));
  TestBag bag;
  ASSERT_EQ(S_OK, persistBag->Save(&bag, TRUE, TRUE));
  ASSERT_EQ(4u, bag.values.size());
  EXPECT_EQ(0x00010000, bag.values[L"_Version"]->lVal);
  EXPECT_EQ(kDesignHimetric, bag.values[L"_ExtentX"]->lVal);
  EXPECT_EQ(0, bag.values[L"_StockProps"]->lVal);
  TestBag page;  // as written in a web page: text
  page.values[L"_ExtentX"]->vt = VT_BSTR;
  page.values[L"_ExtentX"]->bstrVal = SysAllocString(L"1200");
  page.values[L"_ExtentY"]->vt = VT_BSTR;
  page.values[L"_ExtentY"]->bstrVal = SysAllocString(L"600");
  EXPECT_EQ(S_OK, persistBag->Load(&page, nullptr));
  EXPECT_EQ(1200, ExtentOf(control.get()).cx);
  TestBag empty;
  EXPECT_EQ(S_OK, persistBag->Load(&empty, nullptr));
  EXPECT_EQ(kDesignHimetric, ExtentOf(control.get()).cx);
  EXPECT_EQ(serviceCalls, so_->CallCount());
}

TEST_F(EmbeddingTest, DrawsItsPictureOnlyInto32By32AndKeepsThatSize) {
  site_->userMode = false;  // a form designer
  kr::ComPtr<IOleObject> control = InsertActive();
  ASSERT_TRUE(control);
  kr::ComPtr<IOleInPlaceObject> inPlace;
  ASSERT_EQ(S_OK, control.QueryTo(IID_IOleInPlaceObject, inPlace));
  HWND window = nullptr;
  ASSERT_EQ(S_OK, inPlace->GetWindow(&window));
  EXPECT_EQ(window_.get(), GetParent(window));
  EXPECT_TRUE(GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE);
  // At run time the control is invisible.
  site_->userMode = true;
  kr::ComPtr<IOleControl> oleControl;
  ASSERT_EQ(S_OK, control.QueryTo(IID_IOleControl, oleControl));
  EXPECT_EQ(S_OK, oleControl->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE));
  EXPECT_FALSE(GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE);

  kr::ComPtr<IViewObject2> view;
  ASSERT_EQ(S_OK, control.QueryTo(IID_IViewObject2, view));
  const struct {
    LONG extent;  // HIMETRIC, set before drawing
    int size;     // pixels of the rectangle drawn into
    bool drawn;
  } kCases[] = {{kDesignHimetric, 32, true}, {2000, 64, false}, {1000, 32, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE("extent " + std::to_string(c.extent) + ", " + std::to_string(c.size) + " px");
    SIZEL extent{c.extent, c.extent};
    ASSERT_EQ(S_OK, control->SetExtent(DVASPECT_CONTENT, &extent));
    // A white canvas twice the size, so drawing outside the rectangle shows.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = 2 * c.size;
    info.bmiHeader.biHeight = -2 * c.size;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    DWORD* pixels = nullptr;
    kr::UniqueGdiObject canvas(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS,
                                                reinterpret_cast<void**>(&pixels), nullptr, 0));
    ASSERT_TRUE(canvas);
    std::fill(pixels, pixels + 4 * c.size * c.size, 0x00FFFFFFu);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, canvas.get());
    RECTL bounds{0, 0, c.size, c.size};
    EXPECT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds,
                               nullptr, nullptr, 0));
    GdiFlush();
    int inside = 0, outside = 0;
    for (int y = 0; y < 2 * c.size; ++y) {
      for (int x = 0; x < 2 * c.size; ++x) {
        if (pixels[y * 2 * c.size + x] != 0x00FFFFFFu)
          ++(x < c.size && y < c.size ? inside : outside);
      }
    }
    SelectObject(dc, old);
    DeleteDC(dc);
    EXPECT_EQ(c.drawn, inside > 0) << inside << " pixels drawn";
    EXPECT_EQ(0, outside);
    SIZEL after{};
    EXPECT_EQ(S_OK, view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &after));
    EXPECT_EQ(kDesignHimetric, after.cx);
    EXPECT_EQ(kDesignHimetric, after.cy);
  }
  EXPECT_EQ(2, site_->posRectChanges);  // told the container each time it took its size back
  control->Close(OLECLOSE_NOSAVE);
  control->SetClientSite(nullptr);
}

TEST_F(EmbeddingTest, NamesItsPropertyPageAndItsEvents) {
  kr::ComPtr<IOleObject> control = Insert();
  ASSERT_TRUE(control);
  kr::ComPtr<ISpecifyPropertyPages> pages;
  ASSERT_EQ(S_OK, control.QueryTo(IID_ISpecifyPropertyPages, pages));
  CAUUID list{};
  ASSERT_EQ(S_OK, pages->GetPages(&list));
  ASSERT_EQ(1u, list.cElems);
  EXPECT_TRUE(IsEqualGUID(kr::kPropPageClsid, list.pElems[0]));
  CoTaskMemFree(list.pElems);

  kr::ComPtr<IProvideClassInfo2> classInfo;
  ASSERT_EQ(S_OK, control.QueryTo(IID_IProvideClassInfo2, classInfo));
  GUID source{};
  ASSERT_EQ(S_OK, classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
  EXPECT_TRUE(IsEqualGUID(kr::kEventsIid, source));
  kr::ComPtr<IConnectionPointContainer> points;
  ASSERT_EQ(S_OK, control.QueryTo(IID_IConnectionPointContainer, points));
  kr::ComPtr<IConnectionPoint> events;
  EXPECT_EQ(S_OK, points->FindConnectionPoint(source, events.put()));
  kr::ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(S_OK, classInfo->GetClassInfo(coclass.put()));
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(kr::kControlClsid, attr->guid));
  coclass->ReleaseTypeAttr(attr);

  // A container that activates quickly gets the same answers in one call.
  kr::ComPtr<IQuickActivate> quick;
  ASSERT_EQ(S_OK, control.QueryTo(IID_IQuickActivate, quick));
  QACONTAINER container{};
  container.cbSize = sizeof(container);
  container.pClientSite = site_.get();
  container.pUnkEventSink = static_cast<IDispatch*>(site_.get());
  container.dwAmbientFlags = QACONTAINER_USERMODE;
  QACONTROL answer{};
  answer.cbSize = sizeof(answer);
  ASSERT_EQ(S_OK, quick->QuickActivate(&container, &answer));
  EXPECT_EQ(132497u, answer.dwMiscStatus);
  EXPECT_NE(0u, answer.dwEventCookie);
  EXPECT_EQ(S_OK, events->Unadvise(answer.dwEventCookie));
  control->SetClientSite(nullptr);
}

TEST_F(EmbeddingTest, PropertiesVerbShowsThePageInAFrame) {
  kr::ComPtr<IOleObject> control = InsertActive();
  ASSERT_TRUE(control);
  std::vector<std::wstring> texts;
  std::wstring shot;
  std::thread person([&] {
    HWND frame = kr_test::WaitForTopLevelWindow(L"Tarvello Kerunel Control");
    if (!frame) return;
    Sleep(300);  // let it paint
    texts = kr_test::DescendantTexts(frame);
    shot = kr_test::TakeScreenshot(L"property_frame");
    PostMessageW(frame, WM_COMMAND, IDCANCEL, 0);
  });
  HRESULT hr =
      control->DoVerb(OLEIVERB_PROPERTIES, nullptr, site_.get(), 0, window_.get(), nullptr);
  person.join();
  EXPECT_EQ(S_OK, hr);
  const std::wstring description(kr::kControlDescription,
                                 kr::kControlDescription + strlen(kr::kControlDescription));
  for (const std::wstring& expected :
       {description, std::wstring(L"1.0"), std::wstring(L"Release 1.3 Compliant")}) {
    EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), expected)) << expected.c_str();
  }
  EXPECT_FALSE(shot.empty());
  control->Close(OLECLOSE_NOSAVE);
  control->SetClientSite(nullptr);
}

// What ActiveX containers expect where the control's own description is
// silent; one row per convention, each on a newly inserted control.
TEST_F(EmbeddingTest, FollowsTheConventionsContainersExpect) {
  using ServerFn = HRESULT(STDAPICALLTYPE*)();
  auto server = [this](const char* name) {
    return reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
  };
  const struct {
    const char* what;
    std::function<void(IOleObject*)> check;
  } kConventions[] = {
      {"EnumVerbs lists what DoVerb carries out, properties on the container's menu",
       [](IOleObject* control) {
         kr::ComPtr<IEnumOLEVERB> verbs;
         ASSERT_EQ(S_OK, control->EnumVerbs(verbs.put()));
         std::vector<LONG> listed;
         OLEVERB verb{};
         while (verbs->Next(1, &verb, nullptr) == S_OK) {
           listed.push_back(verb.lVerb);
           EXPECT_NE(nullptr, verb.lpszVerbName);
           EXPECT_EQ(verb.lVerb == OLEIVERB_PROPERTIES,
                     (verb.grfAttribs & OLEVERBATTRIB_ONCONTAINERMENU) != 0);
           CoTaskMemFree(verb.lpszVerbName);
         }
         EXPECT_EQ(
             (std::vector<LONG>{OLEIVERB_PRIMARY, OLEIVERB_PROPERTIES, OLEIVERB_SHOW,
                                OLEIVERB_INPLACEACTIVATE, OLEIVERB_UIACTIVATE, OLEIVERB_HIDE}),
             listed);
       }},
      {"QuickActivate takes the shorter structures of older containers, and writes no further",
       [this](IOleObject* control) {
         kr::ComPtr<IQuickActivate> quick;
         ASSERT_EQ(S_OK, control->QueryInterface(IID_IQuickActivate, quick.put_void()));
         QACONTAINER container{};
         container.cbSize = offsetof(QACONTAINER, colorFore);
         container.pClientSite = site_.get();
         container.dwAmbientFlags = QACONTAINER_USERMODE;
         QACONTROL answer{};
         answer.cbSize = offsetof(QACONTROL, dwPointerActivationPolicy);
         answer.dwPointerActivationPolicy = 0xFEEDu;
         EXPECT_EQ(S_OK, quick->QuickActivate(&container, &answer));
         EXPECT_EQ(132497u, answer.dwMiscStatus);
         EXPECT_EQ(0xFEEDu, answer.dwPointerActivationPolicy);
         answer.cbSize = offsetof(QACONTROL, dwPropNotifyCookie);
         EXPECT_EQ(E_INVALIDARG, quick->QuickActivate(&container, &answer));
       }},
      {"GetUserType gives the module's type name when the class is not registered",
       [&](IOleObject* control) {
         ASSERT_EQ(S_OK, server("DllUnregisterServer")());
         LPOLESTR name = nullptr;
         EXPECT_EQ(S_OK, control->GetUserType(USERCLASSTYPE_FULL, &name));
         EXPECT_STREQ(L"Tarvello Kerunel Control", name);
         CoTaskMemFree(name);
         ASSERT_EQ(S_OK, server("DllRegisterServer")());
       }},
      {"IPersistStorage keeps the dirty flag until SaveCompleted, and a copy saved elsewhere "
       "leaves it",
       [](IOleObject* control) {
         kr::ComPtr<IPersistStorage> persist;
         ASSERT_EQ(S_OK, control->QueryInterface(IID_IPersistStorage, persist.put_void()));
         kr::ComPtr<ILockBytes> bytes;
         ASSERT_EQ(S_OK, CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.put()));
         kr::ComPtr<IStorage> storage;
         ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(
                             bytes.get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                             storage.put()));
         ASSERT_EQ(S_OK, persist->InitNew(storage.get()));
         SIZEL bigger{1000, 1000};
         ASSERT_EQ(S_OK, control->SetExtent(DVASPECT_CONTENT, &bigger));
         EXPECT_EQ(S_OK, persist->IsDirty());
         ASSERT_EQ(S_OK, persist->Save(storage.get(), FALSE));  // a copy, "save as"
         EXPECT_EQ(S_OK, persist->IsDirty());
         ASSERT_EQ(S_OK, persist->SaveCompleted(nullptr));
         EXPECT_EQ(S_OK, persist->IsDirty());
         ASSERT_EQ(S_OK, persist->Save(storage.get(), TRUE));
         EXPECT_EQ(S_OK, persist->IsDirty());
         ASSERT_EQ(S_OK, persist->SaveCompleted(nullptr));
         EXPECT_EQ(S_FALSE, persist->IsDirty());
       }},
      {"registering again removes a ThreadingModel left by an earlier registration",
       [&](IOleObject*) {
         for (REFCLSID clsid : {kr::kControlClsid, kr::kPropPageClsid}) {
           wchar_t guid[40];
           StringFromGUID2(clsid, guid, 40);
           const std::wstring key = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
           ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(),
                                                    L"ThreadingModel", REG_SZ, L"Both", 10));
           ASSERT_EQ(S_OK, server("DllRegisterServer")());
           EXPECT_EQ(ERROR_FILE_NOT_FOUND,
                     RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), L"ThreadingModel", RRF_RT_ANY,
                                  nullptr, nullptr, nullptr));
         }
       }},
  };
  for (const auto& convention : kConventions) {
    SCOPED_TRACE(convention.what);
    kr::ComPtr<IOleObject> control = Insert();
    ASSERT_TRUE(control);
    convention.check(control.get());
    control->SetClientSite(nullptr);
  }
}

// The module's own dialogs, without a container.
class ModuleDialogsTest : public ctl::ControlTest {
 protected:
  // The icon control of a dialog of the module: its size in pixels, and the
  // size its template gives (21 x 20 dialog units) in the dialog's pixels.
  struct IconSize {
    SIZE shown{-1, -1};
    SIZE planned{-2, -2};
    bool hasIcon = false;
  };
  static IconSize IconOf(HWND dialog) {
    IconSize size;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
      RECT r{};
      GetWindowRect(child, &r);
      size.shown = SIZE{r.right - r.left, r.bottom - r.top};
      size.hasIcon = SendMessageW(child, STM_GETICON, 0, 0) != 0;
    }
    RECT units{0, 0, 21, 20};
    MapDialogRect(dialog, &units);
    size.planned = SIZE{units.right, units.bottom};
    return size;
  }
  template <typename Fn>
  Fn Export(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
  }
  std::wstring Description() const {
    return std::wstring(kr::kControlDescription,
                        kr::kControlDescription + strlen(kr::kControlDescription));
  }
};

TEST_F(ModuleDialogsTest, AboutBoxShowsItsTextsUntilOk) {
  std::vector<std::wstring> texts;
  IconSize icon;
  std::wstring shot;
  std::thread person([&] {
    HWND box = kr_test::WaitForTopLevelWindow(L"About Control Object");
    if (!box) return;
    Sleep(300);  // let it paint
    texts = kr_test::DescendantTexts(box);
    icon = IconOf(box);
    shot = kr_test::TakeScreenshot(L"about_box");
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  });
  Args none;  // no device is open
  kr::UniqueVariant result;
  EXPECT_EQ(S_OK, ctl::InvokeMethod(control_.get(), KR_DISPID_AboutBox, none, result.get()));
  person.join();
  EXPECT_EQ(VT_EMPTY, result->vt);
  const std::vector<std::wstring> expected = {L"OLE for Retail POS Release 1.0 Beta 3",
                                              L"Copyright (C) 2001-2026 Tarvello",
                                              L"Pelmora 1.3 Compliant, Fiscal Printer Control. ",
                                              L"Updates: see the Tarvello web site.", L"OK"};
  EXPECT_EQ(expected, texts);
  EXPECT_EQ(icon.planned.cx, icon.shown.cx);
  EXPECT_EQ(icon.planned.cy, icon.shown.cy);
  EXPECT_TRUE(icon.hasIcon);
  EXPECT_FALSE(shot.empty());
  EXPECT_EQ(nullptr, FindWindowW(L"#32770", L"About Control Object"));
}

TEST_F(ModuleDialogsTest, PropertyPageFromItsFactoryShowsVersionAndRelease) {
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
  auto getClassObject = Export<GetClassObjectFn>("DllGetClassObject");
  auto canUnload = Export<CanUnloadFn>("DllCanUnloadNow");
  kr::ComPtr<IClassFactory> factory;
  ASSERT_EQ(S_OK, getClassObject(kr::kPropPageClsid, IID_IClassFactory, factory.put_void()));
  kr::ComPtr<IPropertyPage> page;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPropertyPage, page.put_void()));
  control_.reset();
  EXPECT_EQ(S_FALSE, canUnload());  // the page alone keeps the module

  PROPPAGEINFO info{};
  ASSERT_EQ(S_OK, page->GetPageInfo(&info));
  EXPECT_STREQ(L"Tarvello Pelmora Kerunel", info.pszTitle);
  EXPECT_GT(info.size.cx, 0);
  EXPECT_GT(info.size.cy, 0);
  CoTaskMemFree(info.pszTitle);

  kr::UniqueWindow frame(CreateWindowExW(0, L"#32770", L"Kerunel page", WS_OVERLAPPEDWINDOW, 40, 40,
                                         info.size.cx + 40, info.size.cy + 60, nullptr, nullptr,
                                         nullptr, nullptr));
  ASSERT_TRUE(frame);
  RECT area{10, 10, 10 + info.size.cx, 10 + info.size.cy};
  ASSERT_EQ(S_OK, page->Activate(frame.get(), &area, TRUE));
  ASSERT_EQ(S_OK, page->Show(SW_SHOW));
  HWND dialog = GetWindow(frame.get(), GW_CHILD);
  ASSERT_NE(nullptr, dialog);
  const struct {
    int id;
    std::wstring text;
  } kTexts[] = {
      {203, Description()}, {205, L"Version"}, {204, L"1.0"}, {206, L"Release 1.3 Compliant"}};
  for (const auto& t : kTexts) {
    wchar_t text[256] = L"";
    GetDlgItemTextW(dialog, t.id, text, 256);
    EXPECT_EQ(t.text, text) << "control " << t.id;
  }
  const IconSize icon = IconOf(dialog);
  EXPECT_EQ(icon.planned.cx, icon.shown.cx);
  EXPECT_EQ(icon.planned.cy, icon.shown.cy);
  EXPECT_TRUE(icon.hasIcon);
  EXPECT_EQ(S_OK, page->Deactivate());
  EXPECT_FALSE(IsWindow(dialog));

  page.reset();
  EXPECT_EQ(S_OK, canUnload());
}

}  // namespace
