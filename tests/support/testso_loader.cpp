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
