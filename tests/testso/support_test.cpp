// The test support helpers themselves: they decide what other tests see.
#include "support.h"

#include <gtest/gtest.h>

namespace {

TEST(AllocationSpyTest, SeesStringsUntilTheyAreFreed) {
  kr::ComInit com;
  // Strings freed before the spy exists may sit in the string cache; a
  // string that reuses one must still be seen.
  for (int i = 0; i < 8; ++i) SysFreeString(SysAllocString(L"cached"));
  kr_test::AllocationSpy spy;
  ASSERT_TRUE(spy.Active());
  // A warm-up string, so that the string allocator's own first-use state
  // lies before the mark.
  SysFreeString(SysAllocString(L"warm"));
  spy.Mark();
  BSTR reused = SysAllocString(L"cachex");
  EXPECT_EQ(1u, spy.LiveSinceMark()) << "a string from the cache went unseen";
  SysFreeString(reused);
  spy.Mark();
  BSTR kept = SysAllocString(L"kept");
  BSTR freed = SysAllocString(L"freed");
  SysFreeString(freed);
  EXPECT_EQ(1u, spy.LiveSinceMark()) << spy.DescribeLiveSinceMark();
  EXPECT_EQ(2u, spy.AllocationsSinceMark());
  EXPECT_NE(std::string::npos, spy.DescribeLiveSinceMark().find("\"kept\""));
  // Growing a string moves it: the old block is gone, the new one counts.
  ASSERT_TRUE(SysReAllocString(&kept, L"a longer string that surely moves the block"));
  EXPECT_EQ(1u, spy.LiveSinceMark());
  SysFreeString(kept);
  EXPECT_EQ(0u, spy.LiveSinceMark()) << spy.DescribeLiveSinceMark();

  void* raw = CoTaskMemAlloc(10);
  EXPECT_EQ(1u, spy.LiveSinceMark());
  CoTaskMemFree(raw);
  EXPECT_EQ(0u, spy.LiveSinceMark());

  // Only one spy at a time.
  kr_test::AllocationSpy second;
  EXPECT_FALSE(second.Active());
}

TEST(AllocationSpyTest, StringsTheServiceObjectHandsOutBalanceWhenFreed) {
  kr::ComInit com;
  kr_test::TestSo so;
  ASSERT_TRUE(so);
  ASSERT_EQ(S_OK, so.Register());
  so->Reset();
  so->SetStringProperty(1000004, L"Service description");
  kr_test::AllocationSpy spy;
  ASSERT_TRUE(spy.Active());

  auto cycle = [&](bool leak) {
    CLSID clsid;
    kr::ComPtr<IDispatch> d;
    ASSERT_EQ(S_OK, CLSIDFromProgID(TESTSO_PROGID, &clsid));
    ASSERT_EQ(S_OK,
              CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, d.put_void()));
    LPOLESTR name = const_cast<LPOLESTR>(L"GetPropertyString");
    DISPID id;
    ASSERT_EQ(S_OK, d->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_I4;
    arg.lVal = 1000004;
    DISPPARAMS p = {&arg, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &p, &result, nullptr, nullptr));
    if (!leak) VariantClear(&result);
  };
  cycle(false);  // first use: class factory, module and registry caches
  so->Reset();
  spy.Mark();
  for (int i = 0; i < 3; ++i) cycle(false);
  EXPECT_EQ(0u, spy.LiveSinceMark()) << spy.DescribeLiveSinceMark();
  EXPECT_EQ(3, so.Counters().bstrsHandedOut);
  EXPECT_EQ(0, so.Counters().liveObjects);
  cycle(true);
  EXPECT_EQ(1u, spy.LiveSinceMark()) << spy.DescribeLiveSinceMark();
}

TEST(MessageBoxWatcherTest, ReadsAndDismissesBoxesWithItsCaption) {
  kr_test::MessageBoxWatcher watcher(L"KrWatchTest", 5000);
  EXPECT_EQ(IDOK, MessageBoxW(nullptr, L"First line\n\nSecond", L"KrWatchTest",
                              MB_OK | MB_ICONEXCLAMATION));
  EXPECT_EQ(IDOK, MessageBoxW(nullptr, L"Again", L"KrWatchTest", MB_OK));
  watcher.Stop();
  const auto texts = watcher.Texts();
  ASSERT_EQ(2u, texts.size());
  EXPECT_EQ(L"First line\n\nSecond", texts[0]);
  EXPECT_EQ(L"Again", texts[1]);
}

TEST(MessageBoxWatcherTest, EndsAtItsTimeLimit) {
  const ULONGLONG start = GetTickCount64();
  kr_test::MessageBoxWatcher watcher(L"NeverShown", 200);
  Sleep(400);
  watcher.Stop();  // the thread has ended already; Stop must not wait long
  EXPECT_LT(GetTickCount64() - start, 2000u);
  EXPECT_EQ(0u, watcher.Count());
}

std::wstring ReadValue(const std::wstring& subkey, const wchar_t* name) {
  wchar_t buf[256] = L"";
  DWORD bytes = sizeof buf;
  std::wstring path = kr_test::kOposClassKey;
  if (!subkey.empty()) path += L"\\" + subkey;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &bytes) !=
      ERROR_SUCCESS) {
    return L"<missing>";
  }
  return buf;
}

TEST(OposRegistryTest, WritesDeviceKeysAndMappingsAndRemovesThem) {
  {
    kr_test::ScopedOposConfig config;
    ASSERT_EQ(ERROR_SUCCESS, config.Device(L"TestFP", TESTSO_PROGID));
    ASSERT_EQ(ERROR_SUCCESS, config.Map(L"Logical1", L"TestFP"));
    EXPECT_EQ(TESTSO_PROGID, ReadValue(L"TestFP", nullptr));
    EXPECT_EQ(L"TestFP", ReadValue(L"", L"Logical1"));
    ASSERT_EQ(ERROR_SUCCESS, kr_test::SetOposDevice(L"Kept", TESTSO_CLSID_STRING));
  }
  EXPECT_EQ(L"<missing>", ReadValue(L"TestFP", nullptr));
  EXPECT_EQ(L"<missing>", ReadValue(L"", L"Logical1"));
  EXPECT_EQ(TESTSO_CLSID_STRING, ReadValue(L"Kept", nullptr));
  EXPECT_EQ(ERROR_SUCCESS, kr_test::RemoveOposClassKey());
  EXPECT_EQ(L"<missing>", ReadValue(L"Kept", nullptr));
  EXPECT_EQ(ERROR_SUCCESS, kr_test::RemoveOposClassKey());  // already gone
  EXPECT_EQ(ERROR_SUCCESS, kr_test::RemoveOposClassValue(L"Nothing"));
}

TEST(CreateFromModuleTest, CreatesWithoutRegistrationAndReportsWhatFailed) {
  kr::ComInit com;
  kr_test::TestSo so;
  ASSERT_TRUE(so);
  const CLSID clsid = TESTSO_CLSID_INIT;
  kr::UniqueModule module;
  kr::ComPtr<IDispatch> d;
  ASSERT_EQ(S_OK,
            kr_test::CreateFromModule(TESTSO_MODULE, clsid, IID_IDispatch, d.put_void(), module));
  EXPECT_EQ(1, so.Counters().liveObjects);
  d.reset();
  EXPECT_EQ(
      CLASS_E_CLASSNOTAVAILABLE,
      kr_test::CreateFromModule(TESTSO_MODULE, IID_IDispatch, IID_IDispatch, d.put_void(), module));
  EXPECT_EQ(
      HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND),
      kr_test::CreateFromModule(L"NoSuchModule.dll", clsid, IID_IDispatch, d.put_void(), module));
}

}  // namespace
