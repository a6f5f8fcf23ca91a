#include "support.h"

namespace kr_test {

TestSo::TestSo() : module_(::LoadLibraryW(TESTSO_MODULE)) {
  if (!module_) return;
  auto get = reinterpret_cast<TestSoGetApiFn>(
      reinterpret_cast<void*>(::GetProcAddress(module_.get(), TESTSO_API_EXPORT)));
  const TestSoApi* api = get ? get() : nullptr;
  if (api && api->version == TESTSO_API_VERSION && api->size == sizeof(TestSoApi)) api_ = api;
}

namespace {
HRESULT CallServerExport(HMODULE module, const char* name) {
  if (!module) return E_FAIL;
  using Fn = HRESULT(STDAPICALLTYPE*)();
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  return fn ? fn() : E_FAIL;
}
}  // namespace

HRESULT CreateFromModule(const wchar_t* path, REFCLSID clsid, REFIID iid, void** out,
                         kr::UniqueModule& module) {
  if (!out) return E_POINTER;
  *out = nullptr;
  module.reset(::LoadLibraryW(path));
  if (!module) return HRESULT_FROM_WIN32(::GetLastError());
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  auto get = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(::GetProcAddress(module.get(), "DllGetClassObject")));
  if (!get) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  kr::ComPtr<IClassFactory> factory;
  HRESULT hr = get(clsid, IID_IClassFactory, factory.put_void());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, iid, out);
}

HRESULT RegisterServer(const wchar_t* path) {
  kr::UniqueModule module(::LoadLibraryW(path));
  if (!module) return HRESULT_FROM_WIN32(::GetLastError());
  return CallServerExport(module.get(), "DllRegisterServer");
}

HRESULT TestSo::Register() const {
  return CallServerExport(module_.get(), "DllRegisterServer");
}

HRESULT TestSo::Unregister() const {
  return CallServerExport(module_.get(), "DllUnregisterServer");
}

TestSoCounters TestSo::Counters() const {
  TestSoCounters c{};
  if (api_) api_->GetCounters(&c);
  return c;
}

}  // namespace kr_test
