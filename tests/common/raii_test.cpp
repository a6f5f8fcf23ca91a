#include "win_raii.h"

#include <gtest/gtest.h>

namespace {

// A COM object that counts its references, to see exactly what ComPtr does.
class CountedUnknown : public IUnknown {
 public:
  ULONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

TEST(ComPtrTest, CountsReferencesExactly) {
  CountedUnknown obj;
  {
    kr::ComPtr<IUnknown> a(&obj);
    EXPECT_EQ(2u, obj.refs);
    kr::ComPtr<IUnknown> b = a;
    EXPECT_EQ(3u, obj.refs);
    kr::ComPtr<IUnknown> c = std::move(b);
    EXPECT_EQ(3u, obj.refs);
    EXPECT_FALSE(b);
    kr::ComPtr<IUnknown> q;
    EXPECT_EQ(S_OK, a.QueryTo(IID_IUnknown, q));
    EXPECT_EQ(4u, obj.refs);
    EXPECT_EQ(E_NOINTERFACE, a.QueryTo(IID_IDispatch, q));
    EXPECT_FALSE(q);
    EXPECT_EQ(3u, obj.refs);
  }
  EXPECT_EQ(1u, obj.refs);
  auto attached = kr::ComPtr<IUnknown>::Attach(&obj);
  EXPECT_EQ(1u, obj.refs);
  EXPECT_EQ(&obj, attached.detach());
}

TEST(UniqueResourceTest, PutFreesTheOldValueAndReleaseGivesItUp) {
  kr::UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ASSERT_TRUE(event);
  HANDLE raw = event.get();
  *event.put() = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_NE(raw, event.get());
  DWORD flags;
  EXPECT_FALSE(GetHandleInformation(raw, &flags));  // the first event was closed
  HANDLE kept = event.release();
  EXPECT_FALSE(event);
  EXPECT_TRUE(GetHandleInformation(kept, &flags));
  CloseHandle(kept);
}

TEST(UniqueResourceTest, BstrAndVariantOwnTheirStrings) {
  kr::UniqueBstr s(SysAllocString(L"abc"));
  EXPECT_EQ(3u, SysStringLen(s.get()));
  kr::UniqueVariant v;
  v->vt = VT_BSTR;
  v->bstrVal = s.release();
  EXPECT_EQ(VT_EMPTY, v.put()->vt);  // put() cleared (and freed) the string

  // Moving hands the string over once and leaves the source empty.
  v->vt = VT_BSTR;
  v->bstrVal = SysAllocString(L"moved");
  kr::UniqueVariant taken(std::move(v));
  EXPECT_EQ(VT_EMPTY, v->vt);
  ASSERT_EQ(VT_BSTR, taken->vt);
  EXPECT_STREQ(L"moved", taken->bstrVal);
  kr::UniqueVariant other;
  other = std::move(taken);
  EXPECT_EQ(VT_EMPTY, taken->vt);
  EXPECT_STREQ(L"moved", other->bstrVal);
}

TEST(ScopeGuardTest, RunsUnlessDismissed) {
  int runs = 0;
  {
    auto g = kr::MakeScopeGuard([&] { ++runs; });
  }
  {
    auto g = kr::MakeScopeGuard([&] { ++runs; });
    g.Dismiss();
  }
  EXPECT_EQ(1, runs);
}

}  // namespace
