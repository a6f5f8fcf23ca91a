#include <algorithm>

#include "support.h"

namespace kr_test {

const wchar_t kOposClassKey[] = L"SOFTWARE\\OLEforRetail\\ServiceOPOS\\Kerunel";

namespace {

LONG CreateKey(const std::wstring& path, kr::UniqueHKey& key) {
  return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                           key.put(), nullptr);
}

LONG WriteString(HKEY key, const wchar_t* name, const std::wstring& value) {
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          bytes);
}

LONG NotFoundIsFine(LONG rc) {
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

}  // namespace

LONG SetOposDevice(const std::wstring& name, const std::wstring& service,
                   const std::vector<OposValue>& values) {
  kr::UniqueHKey key;
  LONG rc = CreateKey(std::wstring(kOposClassKey) + L"\\" + name, key);
  if (rc == ERROR_SUCCESS) rc = WriteString(key.get(), nullptr, service);
  for (auto v = values.begin(); rc == ERROR_SUCCESS && v != values.end(); ++v) {
    rc = WriteString(key.get(), v->first, v->second);
  }
  return rc;
}

LONG MapOposLogicalName(const std::wstring& logicalName, const std::wstring& keyName) {
  kr::UniqueHKey key;
  LONG rc = CreateKey(kOposClassKey, key);
  return rc == ERROR_SUCCESS ? WriteString(key.get(), logicalName.c_str(), keyName) : rc;
}

LONG SetOposClassValue(const std::wstring& name, DWORD type, const void* data, DWORD bytes) {
  kr::UniqueHKey key;
  LONG rc = CreateKey(kOposClassKey, key);
  if (rc != ERROR_SUCCESS) return rc;
  return ::RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
}

LONG RemoveOposDevice(const std::wstring& name) {
  return NotFoundIsFine(
      ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kOposClassKey) + L"\\" + name).c_str()));
}

LONG RemoveOposClassValue(const std::wstring& name) {
  kr::UniqueHKey key;
  LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOposClassKey, 0, KEY_WRITE, key.put());
  if (rc != ERROR_SUCCESS) return NotFoundIsFine(rc);
  return NotFoundIsFine(::RegDeleteValueW(key.get(), name.c_str()));
}

LONG RemoveOposClassKey() {
  return NotFoundIsFine(::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kOposClassKey));
}

ScopedOposConfig::~ScopedOposConfig() {
  for (const auto& v : values_) RemoveOposClassValue(v);
  for (const auto& d : devices_) RemoveOposDevice(d);
}

LONG ScopedOposConfig::Device(const std::wstring& name, const std::wstring& service,
                              const std::vector<OposValue>& values) {
  if (std::find(devices_.begin(), devices_.end(), name) == devices_.end()) devices_.push_back(name);
  return SetOposDevice(name, service, values);
}

LONG ScopedOposConfig::Map(const std::wstring& logicalName, const std::wstring& keyName) {
  if (std::find(values_.begin(), values_.end(), logicalName) == values_.end()) {
    values_.push_back(logicalName);
  }
  return MapOposLogicalName(logicalName, keyName);
}

}  // namespace kr_test
