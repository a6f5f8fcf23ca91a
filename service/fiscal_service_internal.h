// Helpers shared by the files that make up FiscalService
// (fiscal_service*.cpp); nothing else includes this.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "fiscal_service.h"

namespace kso {

// The messages of the Service Object's thread.
constexpr UINT kRunMessage = WM_APP + 1;            // run the asynchronous output queue
constexpr UINT kNetMessage = WM_APP + 2;            // the link driver's line change
constexpr UINT kErrorAnsweredMessage = WM_APP + 3;  // error event serial, the answer

inline std::string N(int64_t value) {
  return std::to_string(value);
}

inline bool IsDigits(const std::string& s, size_t length) {
  return s.size() == length &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

inline void SetOut(BSTR* out, const std::wstring& text) {
  if (!out) return;
  SysFreeString(*out);
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

inline std::wstring Wide(const std::string& text) {
  return FromEcrText(text);
}

}  // namespace kso
