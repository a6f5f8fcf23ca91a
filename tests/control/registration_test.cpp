// Self-registration of the module through regsvr32 in the test's prefix:
// what it writes, that it can run twice, and that unregistration removes it
// again; and the module's version block as other programs read it.
#include <string>
#include <vector>

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

// The module's full path, next to this program.
std::wstring ModulePath() {
  wchar_t exe[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe, n);
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"Kerunel.ocx";
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring path = ModulePath();
    wchar_t shortPath[MAX_PATH];
    DWORD s = GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
    serverPath_ = s ? std::wstring(shortPath, s) : path;
  }
  void TearDown() override { Regsvr32(L"/u /s"); }

  // Runs regsvr32 with `options` on the module; returns its exit code.
  DWORD Regsvr32(const std::wstring& options) {
    std::wstring command = L"regsvr32.exe " + options + L" \"" + ModulePath() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      return GetLastError();
    }
    kr::UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process.hProcess, &code);
    }
    return code;
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
  std::wstring serverPath_;
};

TEST_F(RegistrationTest, RegistersTheTypeLibraryAndBothClassesRepeatably) {
  ASSERT_EQ(0u, Regsvr32(L"/s"));
  ExpectRegistered();
  ASSERT_EQ(0u, Regsvr32(L"/s"));
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
  ASSERT_EQ(0u, Regsvr32(L"/s"));
  ASSERT_EQ(0u, Regsvr32(L"/u /s"));
  EXPECT_FALSE(KeyExists(L"KERUNEL.KerunelCtrl.1"));
  EXPECT_FALSE(KeyExists(kControlKey));
  EXPECT_FALSE(KeyExists(kPageKey));
  kr::ComPtr<ITypeLib> library;
  EXPECT_NE(S_OK, LoadRegTypeLib(kr::kLibId, 1, 0, 0x0409, library.put()));
  CLSID clsid;
  EXPECT_NE(S_OK, CLSIDFromProgID(kr::kControlProgId, &clsid));
  // Nothing left to remove is no failure.
  EXPECT_EQ(0u, Regsvr32(L"/u /s"));
}

TEST(ModuleVersionTest, VersionBlockReadsBackAsListed) {
  const std::wstring path = ModulePath();
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_NE(0u, size);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionMS);
  EXPECT_EQ(MAKELONG(1, 0), fixed->dwFileVersionLS);
  EXPECT_EQ(MAKELONG(0, 1), fixed->dwProductVersionMS);
  EXPECT_EQ(MAKELONG(1, 3), fixed->dwProductVersionLS);
  EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
  EXPECT_EQ(static_cast<DWORD>(VOS__WINDOWS32), fixed->dwFileOS);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(4u, length);
  EXPECT_EQ(0x0409, translation[0]);
  EXPECT_EQ(1200, translation[1]);

  const struct {
    const wchar_t* key;
    const wchar_t* value;
  } kStrings[] = {
      {L"Comments", L"Control Object For Pelmora Fiscal Printers"},
      {L"CompanyName", L"Tarvello"},
      {L"FileDescription", L"Kerunel Control Object Module"},
      {L"FileVersion", L"1, 0, 0, 1"},
      {L"InternalName", L"Kerunel"},
      {L"LegalCopyright", L"Copyright (C) 2001-2026 Tarvello"},
      {L"LegalTrademarks", L""},
      {L"OLESelfRegister", L""},
      {L"OriginalFilename", L"Kerunel.OCX"},
      {L"PrivateBuild", L""},
      {L"ProductName", L"Kerunel Control Object"},
      {L"ProductVersion", L"1, 0, 3, 1"},
      {L"SpecialBuild", L""},
  };
  for (const auto& entry : kStrings) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + entry.key;
    wchar_t* text = nullptr;
    length = 0;
    EXPECT_TRUE(
        VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
        << query;
    EXPECT_EQ(entry.value, std::wstring(text && length ? text : L"")) << query;
  }
}

}  // namespace
