#include "ansi_text.h"

#include <cstring>
#include <cwchar>
#include <new>

namespace kr {

// ASCII reads the same in every ANSI code page, so pure ASCII text (the
// usual receipt line) is copied without asking the code page.

bool AnsiText::Assign(const wchar_t* wide, UINT length) {
  text_ = nullptr;
  if (wide == nullptr) return true;
  // One pass: copy while the text is ASCII, and stop at a NUL, where an
  // Automation string's ANSI text ends.
  char* out = inline_;
  const int room = kInlineSize - 1;
  UINT i = 0;
  for (; i < length && i < static_cast<UINT>(room); ++i) {
    const wchar_t c = wide[i];
    if (c == L'\0' || c >= 0x80) break;
    out[i] = static_cast<char>(c);
  }
  if (i == length || wide[i] == L'\0') {
    out[i] = '\0';
    text_ = out;
    return true;
  }
  const wchar_t* end = static_cast<const wchar_t*>(std::wmemchr(wide + i, L'\0', length - i));
  const int wideLength = static_cast<int>(end ? end - wide : length);
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
  size_t length = 0;
  bool ascii = true;
  for (; text[length] != '\0'; ++length) {
    if (static_cast<unsigned char>(text[length]) >= 0x80) ascii = false;
  }
  if (ascii) {
    BSTR result = ::SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (result == nullptr) return nullptr;
    for (size_t i = 0; i < length; ++i) result[i] = static_cast<unsigned char>(text[i]);
    return result;
  }
  int ansiLength = static_cast<int>(length);
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

BSTR TextArgument::NewString() const {
  if (wide_ == nullptr) return nullptr;
  if (ascii_) return ::SysAllocStringLen(wide_, length_);
  AnsiText ansi;
  return AnsiToBstr(Ansi(ansi));
}

}  // namespace kr
