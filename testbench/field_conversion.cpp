#include "field_conversion.h"

#include <cmath>
#include <cstdlib>
#include <limits>

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
  // exponent; at least one digit in the mantissa.
  std::string normal;
  size_t i = 0;
  if (i < text.size() && (text[i] == L'-' || text[i] == L'+'))
    normal += static_cast<char>(text[i++]);
  size_t digits = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) normal += static_cast<char>(text[i]);
  if (!separator.empty() && text.compare(i, separator.size(), separator) == 0) {
    i += separator.size();
    normal += '.';
    for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) normal += static_cast<char>(text[i]);
  }
  if (digits == 0) throw FloatError(text);
  if (i < text.size() && (text[i] == L'e' || text[i] == L'E')) {
    normal += 'e';
    ++i;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+'))
      normal += static_cast<char>(text[i++]);
    size_t exponentDigits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++exponentDigits) {
      normal += static_cast<char>(text[i]);
    }
    if (exponentDigits == 0) throw FloatError(text);
  }
  if (i != text.size()) throw FloatError(text);
  const double value = std::strtod(normal.c_str(), nullptr);
  // Beyond 64 bits there is no integer to take the low 32 bits of.
  if (!std::isfinite(value) || std::fabs(value) >= 9.2233720368547758e18) throw FloatError(text);
  const long long whole = static_cast<long long>(value);  // truncates toward zero
  return static_cast<LONG>(static_cast<unsigned long>(static_cast<unsigned long long>(whole)));
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
