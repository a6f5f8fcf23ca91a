#include "registration.h"

#include <olectl.h>

#include <string>

#include "kerunel_ids.h"
#include "own_module.h"
#include "win_raii.h"

namespace kr {

namespace {

constexpr UINT kControlTypeNameId = 1;
constexpr UINT kPropPageTypeNameId = 2;
constexpr wchar_t kMiscStatus[] = L"132497";  // OLEMISC bits the containers read

// The short (8.3) form of a path, or the path itself when there is none.
std::wstring ShortPath(const std::wstring& path) {
  wchar_t shortPath[MAX_PATH];
  DWORD length = ::GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return path;
  return std::wstring(shortPath, length);
}

std::wstring LoadText(UINT id) {
  const wchar_t* text = nullptr;
  int length = ::LoadStringW(OwnModule(), id, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  int length = ::StringFromGUID2(guid, text, 40);
  return length > 0 ? std::wstring(text) : std::wstring();
}

// Writes HKCR\<path> with its default value; returns true on success.
bool SetKey(const std::wstring& path, const std::wstring* value) {
  UniqueHKey key;
  if (::RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  if (value == nullptr) return true;
  const DWORD bytes = static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key.get(), nullptr, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value->c_str()), bytes) == ERROR_SUCCESS;
}

bool SetKey(const std::wstring& path, const std::wstring& value) {
  return SetKey(path, &value);
}

// Removes the value `name` of HKCR\<path>; a missing one is no error.
bool RemoveValue(const std::wstring& path, const wchar_t* name) {
  const LONG rc = ::RegDeleteKeyValueW(HKEY_CLASSES_ROOT, path.c_str(), name);
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

// The module's server key. No ThreadingModel: the classes live in the main
// single-threaded apartment, also when an earlier registration wrote one.
bool SetServerKey(const std::wstring& classKey, const std::wstring& serverPath) {
  return SetKey(classKey + L"\\InprocServer32", serverPath) &&
         RemoveValue(classKey + L"\\InprocServer32", L"ThreadingModel");
}

// Removes HKCR\<path> with everything under it; a missing key is no error.
bool RemoveTree(const std::wstring& path) {
  LONG rc = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
    rc = ::RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
  }
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

// Loads the module's own type library, checks its identity and copies its
// attributes into `attributes`; returns S_OK or a failure.
HRESULT LoadOwnLibrary(const std::wstring& path, ComPtr<ITypeLib>& library, TLIBATTR& attributes) {
  HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
  if (FAILED(hr)) return hr;
  TLIBATTR* attr = nullptr;
  if (FAILED(library->GetLibAttr(&attr))) return E_FAIL;
  attributes = *attr;
  library->ReleaseTLibAttr(attr);
  return ::IsEqualGUID(attributes.guid, kLibId) ? S_OK : E_FAIL;
}

bool RegisterControlClass(const std::wstring& serverPath) {
  const std::wstring clsid = GuidText(kControlClsid);
  const std::wstring typeName = LoadText(kControlTypeNameId);
  const std::wstring progId = kControlProgId;
  const std::wstring classKey = L"CLSID\\" + clsid;
  return SetKey(progId, typeName) && SetKey(progId + L"\\CLSID", clsid) &&
         SetKey(classKey, typeName) && SetKey(classKey + L"\\ProgID", progId) &&
         SetServerKey(classKey, serverPath) &&
         SetKey(classKey + L"\\ToolboxBitmap32", serverPath + L", 1") &&
         SetKey(classKey + L"\\MiscStatus", std::wstring(L"0")) &&
         SetKey(classKey + L"\\MiscStatus\\1", std::wstring(kMiscStatus)) &&
         SetKey(classKey + L"\\Control", std::wstring()) &&
         SetKey(classKey + L"\\TypeLib", GuidText(kLibId)) &&
         SetKey(classKey + L"\\Version", std::wstring(L"1.0")) &&
         SetKey(progId + L"\\Insertable", nullptr) && SetKey(classKey + L"\\Insertable", nullptr);
}

bool RegisterPropPageClass(const std::wstring& serverPath) {
  const std::wstring classKey = L"CLSID\\" + GuidText(kPropPageClsid);
  return SetKey(classKey, LoadText(kPropPageTypeNameId)) && SetServerKey(classKey, serverPath);
}

bool UnregisterClass(REFCLSID clsid, const wchar_t* progId) {
  const std::wstring classKey = L"CLSID\\" + GuidText(clsid);
  bool ok = RemoveTree(classKey + L"\\InprocServer32") &&
            RemoveTree(classKey + L"\\ToolboxBitmap32") && RemoveTree(classKey);
  if (progId != nullptr) ok = RemoveTree(progId) && ok;
  return ok;
}

}  // namespace

HRESULT RegisterModule() {
  const std::wstring path = OwnModulePath();
  if (path.empty()) return SELFREG_E_TYPELIB;
  ComPtr<ITypeLib> library;
  TLIBATTR attributes;
  if (FAILED(LoadOwnLibrary(path, library, attributes)) ||
      FAILED(::RegisterTypeLib(library.get(), const_cast<wchar_t*>(path.c_str()), nullptr))) {
    return SELFREG_E_TYPELIB;
  }
  const std::wstring serverPath = ShortPath(path);
  if (!RegisterControlClass(serverPath) || !RegisterPropPageClass(serverPath)) {
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

HRESULT UnregisterModule() {
  // The registration is removed under the locale and system it was made for,
  // which the module's own library tells.
  const std::wstring path = OwnModulePath();
  ComPtr<ITypeLib> library;
  TLIBATTR attributes;
  if (path.empty() || FAILED(LoadOwnLibrary(path, library, attributes))) {
    return SELFREG_E_TYPELIB;
  }
  ComPtr<ITypeLib> registered;
  if (SUCCEEDED(::LoadRegTypeLib(kLibId, kLibVersionMajor, kLibVersionMinor, attributes.lcid,
                                 registered.put()))) {
    registered.reset();
    if (FAILED(::UnRegisterTypeLib(kLibId, kLibVersionMajor, kLibVersionMinor, attributes.lcid,
                                   attributes.syskind))) {
      return SELFREG_E_TYPELIB;
    }
  }
  if (!UnregisterClass(kControlClsid, kControlProgId) ||
      !UnregisterClass(kPropPageClsid, nullptr)) {
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

}  // namespace kr
