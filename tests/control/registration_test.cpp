// Self-registration of the module in the test's prefix: what it writes,
// that it can run twice, and that unregistration removes it again.
#include <string>

#include "control_fixture.h"

namespace {

const wchar_t kControlKey[] = L"CLSID\\{8EE20053-3975-11D5-8515-00304F03B28E}";
const wchar_t kPageKey[] = L"CLSID\\{8EE20054-3975-11D5-8515-00304F03B28E}";

bool KeyExists(const std::wstring& path) {
  kr::UniqueHKey key;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// A value under HKCR\<path> (the default one when name is nullptr), or
// "(missing)".
std::wstring Value(const std::wstring& path, const wchar_t* name = nullptr) {
  wchar_t buffer[512];
  DWORD bytes = sizeof(buffer);
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &bytes) !=
      ERROR_SUCCESS) {
    return L"(missing)";
  }
  return buffer;
}

class RegistrationTest : public ::testing::Test {
 protected:
  using ServerFn = HRESULT(STDAPICALLTYPE*)();

  void SetUp() override {
    module_.reset(LoadLibraryW(L"Kerunel.ocx"));
    ASSERT_TRUE(module_);
    registerServer_ = Export("DllRegisterServer");
    unregisterServer_ = Export("DllUnregisterServer");
    ASSERT_TRUE(registerServer_ && unregisterServer_);
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(module_.get(), path, MAX_PATH);
    wchar_t shortPath[MAX_PATH];
    DWORD s = GetShortPathNameW(path, shortPath, MAX_PATH);
    serverPath_ = s ? std::wstring(shortPath, s) : std::wstring(path, n);
  }
  void TearDown() override {
    if (unregisterServer_) unregisterServer_();
  }
  ServerFn Export(const char* name) {
    return reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
  }
  void ExpectRegistered() {
    EXPECT_EQ(L"Tarvello Kerunel Control", Value(L"KERUNEL.KerunelCtrl.1"));
    EXPECT_EQ(L"{8EE20053-3975-11D5-8515-00304F03B28E}", Value(L"KERUNEL.KerunelCtrl.1\\CLSID"));
    EXPECT_TRUE(KeyExists(L"KERUNEL.KerunelCtrl.1\\Insertable"));
    const std::wstring c = kControlKey;
    EXPECT_EQ(L"Tarvello Kerunel Control", Value(c));
    EXPECT_EQ(L"KERUNEL.KerunelCtrl.1", Value(c + L"\\ProgID"));
    EXPECT_EQ(serverPath_, Value(c + L"\\InprocServer32"));
    EXPECT_EQ(L"(missing)", Value(c + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(serverPath_ + L", 1", Value(c + L"\\ToolboxBitmap32"));
    EXPECT_EQ(L"0", Value(c + L"\\MiscStatus"));
    EXPECT_EQ(L"132497", Value(c + L"\\MiscStatus\\1"));
    EXPECT_EQ(L"", Value(c + L"\\Control"));
    EXPECT_EQ(L"{8EE20050-3975-11D5-8515-00304F03B28E}", Value(c + L"\\TypeLib"));
    EXPECT_EQ(L"1.0", Value(c + L"\\Version"));
    EXPECT_TRUE(KeyExists(c + L"\\Insertable"));
    const std::wstring p = kPageKey;
    EXPECT_EQ(L"Tarvello Kerunel Property Page", Value(p));
    EXPECT_EQ(serverPath_, Value(p + L"\\InprocServer32"));
    EXPECT_EQ(L"(missing)", Value(p + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_FALSE(KeyExists(p + L"\\ProgID"));
    EXPECT_FALSE(KeyExists(p + L"\\Insertable"));
    EXPECT_FALSE(KeyExists(L"KERUNEL.KerunelPropPage.1"));
    kr::ComPtr<ITypeLib> library;
    EXPECT_EQ(S_OK, LoadRegTypeLib(kr::kLibId, 1, 0, 0x0409, library.put()));
  }

  kr::ComInit com_;
  kr::UniqueModule module_;
  ServerFn registerServer_ = nullptr;
  ServerFn unregisterServer_ = nullptr;
  std::wstring serverPath_;
};

TEST_F(RegistrationTest, RegistersTheTypeLibraryAndBothClassesRepeatably) {
  ASSERT_EQ(S_OK, registerServer_());
  ExpectRegistered();
  ASSERT_EQ(S_OK, registerServer_());
  ExpectRegistered();

  // Registered, the control is created by COM from its ProgID.
  CLSID clsid;
  ASSERT_EQ(S_OK, CLSIDFromProgID(kr::kControlProgId, &clsid));
  EXPECT_TRUE(IsEqualGUID(kr::kControlClsid, clsid));
  kr::ComPtr<IDispatch> control;
  ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   control.put_void()));
  EXPECT_EQ(110, ctl::Resolve(control.get(), L"PrintRecItem", 0).dispid);
  // With the library registered, a locale resolves through it.
  EXPECT_EQ(2, ctl::Resolve(control.get(), L"CheckHealtText", 0x0409).dispid);
}

TEST_F(RegistrationTest, UnregistrationRemovesWhatRegistrationWrote) {
  ASSERT_EQ(S_OK, registerServer_());
  ASSERT_EQ(S_OK, unregisterServer_());
  EXPECT_FALSE(KeyExists(L"KERUNEL.KerunelCtrl.1"));
  EXPECT_FALSE(KeyExists(kControlKey));
  EXPECT_FALSE(KeyExists(kPageKey));
  kr::ComPtr<ITypeLib> library;
  EXPECT_NE(S_OK, LoadRegTypeLib(kr::kLibId, 1, 0, 0x0409, library.put()));
  CLSID clsid;
  EXPECT_NE(S_OK, CLSIDFromProgID(kr::kControlProgId, &clsid));
  // Nothing left to remove is no failure.
  EXPECT_EQ(S_OK, unregisterServer_());
}

}  // namespace
