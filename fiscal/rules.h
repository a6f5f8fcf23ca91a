// The rules of a receipt that do not depend on its state: money, texts,
// line amounts, adjustments, the VAT split of subtotal adjustments and the
// VAT a rate's total contains. The Service Object and the virtual printer
// both count with these, so they agree to the cent. Plain C++.
//
// Units: amounts in cents, quantities in thousandths, percentages and VAT
// rates in hundredths of a percent. Every function expects its inputs in
// the ranges the command set allows (amounts up to kMaxAmount, quantities
// up to kMaxQuantity, percentages up to 100.00 %), which keeps every
// product well inside 64 bits.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ecr_commands.h"

namespace fiscal {

using PerRate = std::array<int64_t, ecrcmd::kVatRates>;

constexpr int64_t kMaxQuantity = 999999999;  // thousandths
constexpr int64_t kFullPercent = 10000;      // 100.00 %

// --- Money -------------------------------------------------------------------

// a * b / d rounded to the nearest integer, halves away from zero (d > 0).
int64_t MulDivRound(int64_t a, int64_t b, int64_t d);

// Whole cents of an OPOS currency value (the amount times 10,000); false
// when it has a part finer than a cent.
bool CentsFromCurrency(int64_t currency, int64_t* cents);

// "-1.23": cents as a decimal amount with two decimals.
std::string FormatMoney(int64_t cents);

// The value of an item line: its amount, or, when the amount is 0 and a
// unit price is given, quantity times unit price (no quantity: one piece).
int64_t LineValue(int64_t amount, int64_t quantity, int64_t unitPrice);

// --- Adjustments -------------------------------------------------------------

bool IsAdjustmentType(int64_t type);
bool IsDiscount(int64_t type);
bool IsPercent(int64_t type);
// An adjustment's value: amount types as given, percent types as that
// share of base.
int64_t AdjustmentValue(int64_t type, int64_t amount, int64_t base);

// Shares a subtotal adjustment over the VAT rates in proportion to their
// totals (largest remainder: the cents that proportion leaves over go to
// the rates with the largest fractions, the lower rate first on a tie).
// The shares add up to value exactly; no share exceeds its rate's total
// when value does not exceed their sum, so a discount never takes a rate
// below zero. Rates at zero or below get nothing.
PerRate ShareOverRates(int64_t value, const PerRate& totals);

// The VAT contained in a total that includes it, at a rate in hundredths.
int64_t VatIncluded(int64_t total, int64_t rate);

// --- Texts -------------------------------------------------------------------

// A description: 0, kErrBadDescription (too long, or not a field text) or
// kErrWordNotAllowed (holds the reserved word, in any case).
uint8_t CheckDescription(const std::string& text);
// A printed line of at most width characters: 0 or kErrSyntax.
uint8_t CheckLine(const std::string& text, size_t width);
// Text as the lines a line feed separates ("\r\n" counts as one line feed;
// a final line feed ends the last line and starts no new one).
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace fiscal
