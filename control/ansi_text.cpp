#include "ansi_text.h"

#include <cstring>
#include <cwchar>
#include <new>

namespace kr {

bool AnsiText::Assign(const wchar_t* wide, UINT length) {
  text_ = nullptr;
  if (wide == nullptr) return true;
  // An Automation string may hold a NUL; the ANSI text stops there.
  const wchar_t* end = static_cast<const wchar_t*>(std::wmemchr(wide, L'\0', length));
  int wideLength = static_cast<int>(end ? end - wide : length);
  if (wideLength == 0) {
    inline_[0] = '\0';
    text_ = inline_;
    return true;
  }
  char* out = inline_;
  int room = kInlineSize - 1;
  int written =
      ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, wideLength, out, room, nullptr, nullptr);
  if (written == 0) {
    int needed =
        ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, wideLength, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    heap_.reset(new (std::nothrow) char[static_cast<size_t>(needed) + 1]);
    if (!heap_) return false;
    out = heap_.get();
    written =
        ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, wideLength, out, needed, nullptr, nullptr);
    if (written == 0) return false;
  }
  out[written] = '\0';
  text_ = out;
  return true;
}

BSTR AnsiToBstr(const char* text) {
  if (text == nullptr) return nullptr;
  int ansiLength = static_cast<int>(std::strlen(text));
  if (ansiLength == 0) return ::SysAllocStringLen(L"", 0);
  int wideLength = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, ansiLength, nullptr, 0);
  if (wideLength <= 0) return nullptr;
  BSTR result = ::SysAllocStringLen(nullptr, static_cast<UINT>(wideLength));
  if (result == nullptr) return nullptr;
  if (::MultiByteToWideChar(CP_THREAD_ACP, 0, text, ansiLength, result, wideLength) != wideLength) {
    ::SysFreeString(result);
    return nullptr;
  }
  return result;
}

}  // namespace kr
