// A snapshot enumerator for the COM enumerator interfaces the control hands
// out (connections, connection points, verbs).
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <objbase.h>

#include <new>
#include <vector>

#include "kerunel_ctrl.h"
#include "win_raii.h"

namespace kr {

// A snapshot enumerator. Copy::Take makes an item its holder's own (adds
// the reference it holds, copies its text), Copy::Drop gives that up; what
// Next hands out is made by Take for the caller.
template <typename Itf, typename Item, typename Copy>
class CEnumerator final : public Itf {
 public:
  CEnumerator(const Item* items, size_t count, IUnknown* owner) : m_owner(owner) {
    ModuleAddRef();
    m_items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      m_items.push_back(items[i]);
      Copy::Take(m_items.back());
    }
  }
  ~CEnumerator() {
    for (Item& item : m_items) Copy::Drop(item);
    ModuleRelease();
  }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == __uuidof(Itf)) {
      *out = static_cast<Itf*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&m_refs); }
  STDMETHODIMP_(ULONG) Release() override {
    LONG refs = ::InterlockedDecrement(&m_refs);
    if (refs == 0) delete this;
    return refs;
  }

  STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
    if (out == nullptr || (count != 1 && fetched == nullptr)) return E_POINTER;
    ULONG n = 0;
    while (n < count && m_pos < m_items.size()) {
      out[n] = m_items[m_pos++];
      Copy::Take(out[n]);
      ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    size_t left = m_items.size() - m_pos;
    if (count > left) {
      m_pos = m_items.size();
      return S_FALSE;
    }
    m_pos += count;
    return S_OK;
  }
  STDMETHODIMP Reset() override {
    m_pos = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(Itf** out) override {
    if (out == nullptr) return E_POINTER;
    auto* copy = new (std::nothrow) CEnumerator(m_items.data(), m_items.size(), m_owner.get());
    if (copy == nullptr) return E_OUTOFMEMORY;
    copy->m_pos = m_pos;
    *out = copy;
    return S_OK;
  }

 private:
  LONG m_refs = 1;
  ComPtr<IUnknown> m_owner;  // keeps the control alive while enumerating
  std::vector<Item> m_items;
  size_t m_pos = 0;
};

}  // namespace kr
