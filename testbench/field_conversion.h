// The conversions from a field's text to a call's argument and back, and
// the messages of the two that can fail.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <oleauto.h>

#include <string>

namespace vostrik {

// A field whose text does not convert; the command stops and the window
// shows message().
class ConversionError {
 public:
  explicit ConversionError(std::wstring message) : message_(std::move(message)) {}
  const std::wstring& message() const { return message_; }

 private:
  std::wstring message_;
};

// The whole text as a signed decimal 32-bit integer; raises ConversionError
// ("'<text>' is not a valid integer value") for anything else.
LONG ToInteger(const std::wstring& text);

// The text as a decimal number written with `separator` (the user's
// decimal separator), truncated toward zero on its digits, its low 32 bits;
// raises ConversionError ("'<text>' is not a valid floating point value")
// for anything that is no such number, and ("'<text>' is out of range: ...")
// for one whose whole part does not fit in 64 bits.
LONG ToTruncated(const std::wstring& text, const std::wstring& separator);

// The user's decimal separator.
std::wstring UserDecimalSeparator();

// The text as an integer (ToInteger), taken unscaled as the raw currency
// value: "12345" is 1.2345.
CY ToCurrency(const std::wstring& text);

// The code of the first character in the ANSI code page, sign-extended; 0
// for an empty text.
LONG FirstCharacterCode(const std::wstring& text);

// Decimal text of a number, with "-" for negatives.
std::wstring NumberText(LONG value);

}  // namespace vostrik
