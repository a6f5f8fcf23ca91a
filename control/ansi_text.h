// Text crossing the control: the dispatch interface carries UTF-16
// Automation strings, the control works with 8-bit text in the calling
// thread's ANSI code page. Every conversion in either direction goes
// through these two helpers.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <oleauto.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace kr {

// An ANSI copy of a wide string. Short texts live in the object itself, so
// the forwarded call path does not allocate for them.
class AnsiText {
 public:
  AnsiText() = default;
  AnsiText(const AnsiText&) = delete;
  AnsiText& operator=(const AnsiText&) = delete;

  // Converts `length` wide characters (the text ends early at a NUL).
  // A null `wide`, or a conversion that fails, gives a null text. Returns
  // false only when the conversion failed.
  bool Assign(const wchar_t* wide, UINT length);
  // Converts an Automation string: null stays null, empty stays empty.
  bool Assign(BSTR wide) { return Assign(wide, wide ? ::SysStringLen(wide) : 0); }

  // The text, or nullptr for a null text.
  const char* get() const { return text_; }

 private:
  static constexpr int kInlineSize = 256;
  char inline_[kInlineSize];
  std::unique_ptr<char[]> heap_;
  const char* text_ = nullptr;
};

// A string argument on its way through the control: the caller's wide text,
// read once for what the round trip through the code page would do to it.
// Pure ASCII text reads the same in every ANSI code page, so for it the
// round trip gives back the caller's text up to its first NUL.
class TextArgument {
 public:
  // Takes the caller's string, which must stay valid while this is used.
  void Assign(BSTR wide) {
    wide_ = wide;
    length_ = 0;
    ascii_ = true;
    unchanged_ = true;
    if (wide == nullptr) return;
    const UINT bytes = ByteLength(wide);
    const UINT length = bytes / sizeof(wchar_t);
    // A NUL (or an odd byte) before the end would be lost on the way.
    if (bytes % sizeof(wchar_t) == 0 && IsPlainAscii(wide, length)) {
      length_ = length;
      return;
    }
    UINT i = 0;
    unsigned int bits = 0;
    for (; i < length && wide[i] != L'\0'; ++i) bits |= wide[i];
    ascii_ = bits < 0x80;
    length_ = i;
    unchanged_ = false;
  }
  // The ANSI text, made in `buffer`: nullptr for a null string or a failed
  // conversion.
  const char* Ansi(AnsiText& buffer) const {
    buffer.Assign(wide_, length_);
    return buffer.get();
  }
  // A new Automation string after the round trip through the code page:
  // null for a null string or a failed conversion. The caller owns it.
  BSTR NewString() const;
  // Whether the round trip gives the caller's string back unchanged (a null
  // string, or pure ASCII without an embedded NUL), so that the caller's
  // string itself can be handed on.
  bool SurvivesRoundTrip() const { return unchanged_; }
  // The caller's string, still the caller's.
  BSTR Caller() const { return wide_; }

 private:
  // SysStringByteLen without the call: an Automation string's length prefix
  // is the 32-bit byte count stored just before its first character.
  static UINT ByteLength(BSTR text) {
    UINT bytes;
    std::memcpy(&bytes, reinterpret_cast<const char*>(text) - sizeof(bytes), sizeof(bytes));
    return bytes;
  }
  // Whether all `length` characters are in 1..0x7F, read four at a time.
  // (Stopping at the first spoilt word also keeps the compiler from making
  // it a vector loop, whose registers every call of the dispatch path would
  // then save and restore.)
  static bool IsPlainAscii(const wchar_t* text, UINT length) {
    UINT i = 0;
    for (; i + 4 <= length; i += 4) {
      if (SpoiltLanes<uint64_t>(text + i) != 0) return false;
    }
    if (i + 2 <= length) {
      if (SpoiltLanes<uint32_t>(text + i) != 0) return false;
      i += 2;
    }
    return i == length || SpoiltLanes<uint16_t>(text + i) == 0;
  }
  // Non-zero when one of the characters in a word of Word's size is 0 or
  // above 0x7F: such a character shows in the high bits of its lane, and
  // once none does, subtracting 1 sets a lane's top bit only when it was 0.
  template <typename Word>
  static Word SpoiltLanes(const wchar_t* text) {
    Word word;
    std::memcpy(&word, text, sizeof(word));
    const Word high = static_cast<Word>(0xFF80FF80FF80FF80ull);
    const Word ones = static_cast<Word>(0x0001000100010001ull);
    const Word top = static_cast<Word>(0x8000800080008000ull);
    return static_cast<Word>((word & high) | ((word - ones) & top));
  }

  BSTR wide_ = nullptr;
  UINT length_ = 0;  // up to the first NUL
  bool ascii_ = true;
  bool unchanged_ = true;
};

// Returns a new Automation string for ANSI `text`: null for a null text or
// a failed conversion, an empty string for an empty text. The caller owns it.
BSTR AnsiToBstr(const char* text);

}  // namespace kr
