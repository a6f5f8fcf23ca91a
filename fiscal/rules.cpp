#include "rules.h"

#include <cctype>
#include <cstdio>

namespace fiscal {

using namespace ecrcmd;

int64_t MulDivRound(int64_t a, int64_t b, int64_t d) {
  const int64_t p = a * b;
  return (p >= 0 ? p + d / 2 : p - d / 2) / d;
}

bool CentsFromCurrency(int64_t currency, int64_t* cents) {
  if (currency % 100 != 0) return false;
  *cents = currency / 100;
  return true;
}

std::string FormatMoney(int64_t cents) {
  char b[32];
  const uint64_t a = cents < 0 ? 0 - static_cast<uint64_t>(cents) : static_cast<uint64_t>(cents);
  std::snprintf(b, sizeof b, "%s%llu.%02llu", cents < 0 ? "-" : "",
                static_cast<unsigned long long>(a / 100), static_cast<unsigned long long>(a % 100));
  return b;
}

int64_t LineValue(int64_t amount, int64_t quantity, int64_t unitPrice) {
  if (amount != 0 || unitPrice == 0) return amount;
  return MulDivRound(unitPrice, quantity == 0 ? 1000 : quantity, 1000);
}

bool IsAdjustmentType(int64_t type) {
  return type >= kAmountDiscount && type <= kPercentSurcharge;
}

bool IsDiscount(int64_t type) {
  return type == kAmountDiscount || type == kPercentDiscount;
}

bool IsPercent(int64_t type) {
  return type == kPercentDiscount || type == kPercentSurcharge;
}

int64_t AdjustmentValue(int64_t type, int64_t amount, int64_t base) {
  return IsPercent(type) ? MulDivRound(base, amount, kFullPercent) : amount;
}

PerRate ShareOverRates(int64_t value, const PerRate& totals) {
  PerRate shares{};
  int64_t sum = 0;
  for (int64_t t : totals) sum += t > 0 ? t : 0;
  if (sum <= 0 || value <= 0) return shares;
  PerRate rest{};  // what the proportion leaves over, in 1/sum cents
  int64_t left = value;
  for (int v = 0; v < kVatRates; ++v) {
    if (totals[v] <= 0) continue;
    // value and totals stay below 10^8 each: the product fits.
    shares[v] = value * totals[v] / sum;
    rest[v] = value * totals[v] % sum;
    left -= shares[v];
  }
  // Fewer cents are left than rates with a fraction, one cent each.
  while (left > 0) {
    int best = -1;
    for (int v = 0; v < kVatRates; ++v) {
      if (rest[v] > 0 && (best < 0 || rest[v] > rest[best])) best = v;
    }
    if (best < 0) break;  // cannot happen: the fractions add up to left
    ++shares[best];
    rest[best] = 0;
    --left;
  }
  return shares;
}

int64_t VatIncluded(int64_t total, int64_t rate) {
  return MulDivRound(total, rate, kFullPercent + rate);
}

uint8_t CheckDescription(const std::string& text) {
  if (text.size() > static_cast<size_t>(kDescriptionLength) || !IsFieldText(text)) {
    return kErrBadDescription;
  }
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper.find(kReservedWord) == std::string::npos ? 0 : kErrWordNotAllowed;
}

uint8_t CheckLine(const std::string& text, size_t width) {
  return text.size() <= width && IsFieldText(text) ? 0 : kErrSyntax;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n') {
      if (i + 1 < text.size()) lines.emplace_back();
    } else {
      lines.back() += text[i];
    }
  }
  return lines;
}

}  // namespace fiscal
