#include "field_conversion.h"

#include <cstdint>
#include <limits>
#include <string>

namespace vostrik {
namespace {

bool IsDigit(wchar_t ch) {
  return ch >= L'0' && ch <= L'9';
}

ConversionError IntegerError(const std::wstring& text) {
  return ConversionError(L"'" + text + L"' is not a valid integer value");
}

ConversionError FloatError(const std::wstring& text) {
  return ConversionError(L"'" + text + L"' is not a valid floating point value");
}

ConversionError RangeError(const std::wstring& text) {
  return ConversionError(L"'" + text + L"' is out of range: the whole part must lie between " +
                         L"-9223372036854775808 and 9223372036854775807");
}

}  // namespace

LONG ToInteger(const std::wstring& text) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == L'-';
  if (!text.empty() && (text[0] == L'-' || text[0] == L'+')) i = 1;
  if (i == text.size()) throw IntegerError(text);
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i])) throw IntegerError(text);
    value = value * 10 + (text[i] - L'0');
    if (value > 2147483648LL) throw IntegerError(text);
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<LONG>::max()) throw IntegerError(text);
  return static_cast<LONG>(value);
}

LONG ToTruncated(const std::wstring& text, const std::wstring& separator) {
  // sign, digits, optionally the separator and more digits, optionally an
  // exponent; at least one digit in the mantissa. The whole part is taken
  // from the digits themselves: no floating-point value rounds it.
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
  std::string digits;   // the mantissa's digits, the separator left out
  long long point = 0;  // how many of them come before the separator
  for (; i < text.size() && IsDigit(text[i]); ++i, ++point) digits += static_cast<char>(text[i]);
  if (!separator.empty() && text.compare(i, separator.size(), separator) == 0) {
    i += separator.size();
    for (; i < text.size() && IsDigit(text[i]); ++i) digits += static_cast<char>(text[i]);
  }
  if (digits.empty()) throw FloatError(text);
  if (i < text.size() && (text[i] == L'e' || text[i] == L'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) {
      negativeExponent = text[i++] == L'-';
    }
    long long exponent = 0;
    size_t exponentDigits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++exponentDigits) {
      // Beyond this the answer no longer changes: 0, or out of range.
      if (exponent < 1000000) exponent = exponent * 10 + (text[i] - L'0');
    }
    if (exponentDigits == 0) throw FloatError(text);
    point += negativeExponent ? -exponent : exponent;
  }
  if (i != text.size()) throw FloatError(text);

  // The whole part is the digits before the point, zeros added past the
  // last one; leading zeros do not count.
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  point -= static_cast<long long>(first);
  digits.erase(0, first);
  if (point <= 0) return 0;
  constexpr long long kMaxDigits = 19;  // 9223372036854775807 has 19
  if (point > kMaxDigits) throw RangeError(text);
  unsigned long long magnitude = 0;
  for (long long k = 0; k < point; ++k) {
    const size_t at = static_cast<size_t>(k);
    magnitude = magnitude * 10 + (at < digits.size() ? digits[at] - '0' : 0);
  }
  constexpr unsigned long long kMaxPositive = 9223372036854775807ull;
  if (magnitude > kMaxPositive + (negative ? 1 : 0)) throw RangeError(text);
  const unsigned long long whole = negative ? 0 - magnitude : magnitude;
  return static_cast<LONG>(static_cast<uint32_t>(whole));
}

std::wstring UserDecimalSeparator() {
  wchar_t separator[8] = L"";
  if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8) <= 1) return L".";
  return separator;
}

CY ToCurrency(const std::wstring& text) {
  CY value;
  value.int64 = ToInteger(text);
  return value;
}

LONG FirstCharacterCode(const std::wstring& text) {
  if (text.empty()) return 0;
  char ansi[8] = {};
  if (::WideCharToMultiByte(CP_ACP, 0, text.data(), 1, ansi, sizeof ansi, nullptr, nullptr) <= 0) {
    ansi[0] = '?';
  }
  return static_cast<signed char>(ansi[0]);
}

std::wstring NumberText(LONG value) {
  return std::to_wstring(value);
}

}  // namespace vostrik
