#include <unordered_map>

#include "support.h"

namespace kr_test {

// The IMallocSpy itself. COM may keep it after CoRevokeMallocSpy while
// allocations it saw are still live, so it is reference counted and lives on
// the heap. Its own bookkeeping uses the C++ heap, never CoTaskMem.
class AllocationSpy::Spy final : public IMallocSpy {
 public:
  struct Block {
    size_t size;
    unsigned long long serial;
  };

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMallocSpy) {
      *out = static_cast<IMallocSpy*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ::InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG n = ::InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
  }

  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cb) override {
    pendingSize_ = cb;
    return cb;
  }
  void* STDMETHODCALLTYPE PostAlloc(void* actual) override {
    if (actual) Insert(actual, pendingSize_);
    return actual;
  }
  void* STDMETHODCALLTYPE PreFree(void* request, BOOL spyed) override {
    if (request) Erase(request);
    return request;
  }
  void STDMETHODCALLTYPE PostFree(BOOL) override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T cb, void** actual,
                                      BOOL spyed) override {
    if (request) Erase(request);
    pendingSize_ = cb;
    *actual = request;
    return cb;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override {
    if (actual) Insert(actual, pendingSize_);
    return actual;
  }
  void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T actual, BOOL) override { return actual; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}

  unsigned long long Serial() {
    kr::LockGuard<kr::CriticalSection> g(lock_);
    return serial_;
  }
  // Copies the blocks allocated after serial that are still live.
  std::vector<std::pair<const void*, Block>> LiveAfter(unsigned long long serial) {
    kr::LockGuard<kr::CriticalSection> g(lock_);
    std::vector<std::pair<const void*, Block>> out;
    for (const auto& [p, b] : live_) {
      if (b.serial > serial) out.emplace_back(p, b);
    }
    return out;
  }

 private:
  void Insert(void* p, size_t size) {
    kr::LockGuard<kr::CriticalSection> g(lock_);
    live_[p] = Block{size, ++serial_};
  }
  void Erase(void* p) {
    kr::LockGuard<kr::CriticalSection> g(lock_);
    live_.erase(p);
  }

  volatile LONG refs_ = 1;
  kr::CriticalSection lock_;
  std::unordered_map<const void*, Block> live_;
  unsigned long long serial_ = 0;
  static thread_local SIZE_T pendingSize_;
};

thread_local SIZE_T AllocationSpy::Spy::pendingSize_ = 0;

AllocationSpy::AllocationSpy() {
  // A freed BSTR must reach CoTaskMemFree, not the string cache.
  if (HMODULE oleaut = ::GetModuleHandleW(L"oleaut32.dll")) {
    using Fn = void(WINAPI*)();
    auto noCache =
        reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(oleaut, "SetOaNoCache")));
    if (noCache) noCache();
  }
  Spy* spy = new Spy();
  if (SUCCEEDED(::CoRegisterMallocSpy(spy))) {
    spy_ = spy;
  } else {
    spy->Release();
  }
}

AllocationSpy::~AllocationSpy() {
  if (!spy_) return;
  ::CoRevokeMallocSpy();
  spy_->Release();
}

void AllocationSpy::Mark() {
  if (spy_) mark_ = spy_->Serial();
}

unsigned long long AllocationSpy::AllocationsSinceMark() const {
  return spy_ ? spy_->Serial() - mark_ : 0;
}

size_t AllocationSpy::LiveSinceMark() const {
  return spy_ ? spy_->LiveAfter(mark_).size() : 0;
}

std::string AllocationSpy::DescribeLiveSinceMark() const {
  std::string out;
  if (!spy_) return out;
  for (const auto& [p, b] : spy_->LiveAfter(mark_)) {
    char line[160];
    snprintf(line, sizeof line, "#%llu: %zu bytes", b.serial, b.size);
    out += line;
    // A BSTR block holds its byte length just before the characters, which
    // start pointer-aligned.
    constexpr size_t kHeader = sizeof(void*);
    if (b.size >= kHeader + sizeof(wchar_t)) {
      const char* base = static_cast<const char*>(p);
      const DWORD bytes = *reinterpret_cast<const DWORD*>(base + kHeader - sizeof(DWORD));
      if (bytes % 2 == 0 && bytes + kHeader + sizeof(wchar_t) <= b.size) {
        const auto* chars = reinterpret_cast<const wchar_t*>(base + kHeader);
        std::string text;
        for (DWORD i = 0; i < bytes / 2 && i < 40; ++i) {
          text += chars[i] >= 32 && chars[i] < 127 ? static_cast<char>(chars[i]) : '?';
        }
        out += " BSTR \"" + text + "\"";
      }
    }
    out += "\n";
  }
  return out;
}

}  // namespace kr_test
