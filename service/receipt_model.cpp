#include "receipt_model.h"

#include <cctype>

#include "opos.h"

namespace kso {

using namespace opos;

Outcome Ok() {
  return Outcome{};
}

Outcome Illegal() {
  return Outcome{OPOS_E_ILLEGAL, 0};
}

Outcome Extended(long extendedCode) {
  return Outcome{OPOS_E_EXTENDED, extendedCode};
}

namespace {

Outcome WrongState() {
  return Extended(OPOS_EFPTR_WRONG_STATE);
}

bool IsPercent(long type) {
  return type == FPTR_AT_PERCENTAGE_DISCOUNT || type == FPTR_AT_PERCENTAGE_SURCHARGE;
}

bool IsDiscount(long type) {
  return type == FPTR_AT_AMOUNT_DISCOUNT || type == FPTR_AT_PERCENTAGE_DISCOUNT;
}

bool IsAdjustmentType(long type) {
  return type >= FPTR_AT_AMOUNT_DISCOUNT && type <= FPTR_AT_PERCENTAGE_SURCHARGE;
}

// The value of an adjustment: amount types as given, percent types of base.
int64_t AdjustmentValue(long type, int64_t amount, int64_t base) {
  if (!IsPercent(type)) return amount;
  return (base * amount + 5000) / 10000;
}

Outcome CheckVat(long vat) {
  return vat >= 1 && vat <= ecrcmd::kVatRates ? Ok() : Extended(OPOS_EFPTR_BAD_VAT);
}

Outcome CheckAmount(int64_t amount) {
  return amount >= 0 && amount <= ecrcmd::kMaxAmount ? Ok() : Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
}

// An adjustment's amount: a percentage is at most 100.00 %.
Outcome CheckAdjustment(long type, int64_t amount) {
  if (!IsAdjustmentType(type)) return Illegal();
  if (IsPercent(type) && (amount < 0 || amount > 10000)) {
    return Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  }
  return CheckAmount(amount);
}

Outcome CheckQuantity(long quantity) {
  return quantity >= 0 ? Ok() : Extended(OPOS_EFPTR_BAD_ITEM_QUANTITY);
}

}  // namespace

Outcome CheckDescription(const std::string& description) {
  if (description.size() > static_cast<size_t>(ecrcmd::kDescriptionLength) ||
      !ecrcmd::IsFieldText(description)) {
    return Extended(OPOS_EFPTR_BAD_ITEM_DESCRIPTION);
  }
  std::string upper = description;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.find(ecrcmd::kReservedWord) != std::string::npos) {
    return Extended(OPOS_EFPTR_WORD_NOT_ALLOWED);
  }
  return Ok();
}

bool ReceiptModel::InSales() const {
  return state_ == kPrinterFiscalReceipt;
}

Outcome ReceiptModel::AddToSubtotal(int64_t amount) {
  if (amount > ecrcmd::kMaxAmount || subtotal_ + amount > ecrcmd::kMaxAmount) {
    return Extended(OPOS_EFPTR_RECEIPT_TOTAL_OVERFLOW);
  }
  subtotal_ += amount;
  return Ok();
}

Outcome ReceiptModel::TakeFromSubtotal(int64_t amount) {
  if (amount > subtotal_) return Extended(OPOS_EFPTR_NEGATIVE_TOTAL);
  subtotal_ -= amount;
  return Ok();
}

Outcome ReceiptModel::BeginFiscalReceipt() {
  if (state_ != kPrinterMonitor) return WrongState();
  state_ = kPrinterFiscalReceipt;
  subtotal_ = 0;
  paid_ = 0;
  lastItem_ = -1;
  return Ok();
}

Outcome ReceiptModel::Item(const std::string& description, int64_t amount, long quantity, long vat,
                           int64_t unitPrice, const std::string& unitName) {
  if (!InSales()) return WrongState();
  Outcome o = CheckDescription(description);
  if (o) o = CheckQuantity(quantity);
  if (o && (unitPrice < 0 || unitPrice > ecrcmd::kMaxAmount)) o = Extended(OPOS_EFPTR_BAD_PRICE);
  if (o) o = CheckAmount(amount);
  if (o) o = CheckVat(vat);
  if (o && (unitName.size() > static_cast<size_t>(ecrcmd::kUnitNameLength) ||
            !ecrcmd::IsFieldText(unitName))) {
    o = Extended(OPOS_EFPTR_BAD_ITEM_DESCRIPTION);
  }
  if (!o) return o;
  // Without a price the line is worth its quantity times the unit price.
  int64_t value = amount;
  if (value == 0 && unitPrice != 0) {
    value = (unitPrice * (quantity == 0 ? 1000 : quantity) + 500) / 1000;
  }
  o = AddToSubtotal(value);
  if (o) lastItem_ = value;
  return o;
}

Outcome ReceiptModel::ItemAdjustment(long type, const std::string& description, int64_t amount,
                                     long vat) {
  if (!InSales() || lastItem_ < 0) return WrongState();
  Outcome o = CheckAdjustment(type, amount);
  if (o) o = CheckDescription(description);
  if (o && (vat < 0 || vat > ecrcmd::kVatRates)) o = Extended(OPOS_EFPTR_BAD_VAT);
  if (!o) return o;
  const int64_t value = AdjustmentValue(type, amount, lastItem_);
  return IsDiscount(type) ? TakeFromSubtotal(value) : AddToSubtotal(value);
}

Outcome ReceiptModel::VoidItem(const std::string& description, int64_t amount, long quantity,
                               long adjType, int64_t adjustment, long vat) {
  if (!InSales()) return WrongState();
  Outcome o = CheckDescription(description);
  if (o) o = CheckQuantity(quantity);
  if (o) o = CheckAmount(amount);
  if (o && adjType != 0) o = CheckAdjustment(adjType, adjustment);
  if (o) o = CheckVat(vat);
  if (!o) return o;
  int64_t value = amount;
  if (adjType != 0) {
    const int64_t adj = AdjustmentValue(adjType, adjustment, amount);
    value += IsDiscount(adjType) ? -adj : adj;
  }
  if (value < 0) return Extended(OPOS_EFPTR_NEGATIVE_TOTAL);
  return TakeFromSubtotal(value);
}

Outcome ReceiptModel::Refund(const std::string& description, int64_t amount, long vat) {
  if (!InSales()) return WrongState();
  Outcome o = CheckDescription(description);
  if (o) o = CheckAmount(amount);
  if (o) o = CheckVat(vat);
  return o ? TakeFromSubtotal(amount) : o;
}

Outcome ReceiptModel::Message(const std::string& text) const {
  if (state_ != kPrinterFiscalReceipt && state_ != kPrinterFiscalReceiptTotal &&
      state_ != kPrinterFiscalReceiptEnding) {
    return WrongState();
  }
  if (text.size() > static_cast<size_t>(ecrcmd::kLineWidth) || !ecrcmd::IsFieldText(text)) {
    return Illegal();
  }
  return Ok();
}

Outcome ReceiptModel::Subtotal(int64_t amount) const {
  if (!InSales()) return WrongState();
  return CheckAmount(amount);
}

Outcome ReceiptModel::SubtotalAdjustment(long type, const std::string& description,
                                         int64_t amount) {
  if (!InSales()) return WrongState();
  Outcome o = CheckAdjustment(type, amount);
  if (o) o = CheckDescription(description);
  if (!o) return o;
  if (subtotal_ <= 0) return WrongState();  // nothing to adjust
  const int64_t value = AdjustmentValue(type, amount, subtotal_);
  return IsDiscount(type) ? TakeFromSubtotal(value) : AddToSubtotal(value);
}

void ReceiptModel::SetDue(int64_t due) {
  paid_ = subtotal_ - due;
  if (state_ == kPrinterFiscalReceipt || state_ == kPrinterFiscalReceiptTotal) {
    state_ = due > 0 ? kPrinterFiscalReceiptTotal : kPrinterFiscalReceiptEnding;
  }
}

Outcome ReceiptModel::NotPaid(const std::string& description, int64_t amount) {
  if (!InSales() && state_ != kPrinterFiscalReceiptTotal) return WrongState();
  Outcome o = CheckDescription(description);
  if (o) o = CheckAmount(amount);
  if (o && amount > Due()) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  if (!o) return o;
  SetDue(Due() - amount);
  return o;
}

Outcome ReceiptModel::Total(int64_t total, int64_t payment, const std::string& description,
                            bool checkTotal) {
  if (!InSales() && state_ != kPrinterFiscalReceiptTotal) return WrongState();
  Outcome o = CheckDescription(description);
  if (o && (total < 0 || payment < 0 || payment > ecrcmd::kMaxAmount)) {
    o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  }
  if (o && checkTotal && total != subtotal_) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  if (!o) return o;
  SetDue(Due() - payment);
  return o;
}

Outcome ReceiptModel::VoidReceipt(const std::string& description) {
  if (!InSales() && state_ != kPrinterFiscalReceiptTotal) return WrongState();
  Outcome o = CheckDescription(description);
  if (o) state_ = kPrinterFiscalReceiptEnding;
  return o;
}

Outcome ReceiptModel::EndFiscalReceipt() {
  if (state_ != kPrinterFiscalReceiptEnding) return WrongState();
  Reset();
  return Ok();
}

Outcome ReceiptModel::BeginNonFiscal() {
  if (state_ != kPrinterMonitor) return WrongState();
  state_ = kPrinterNonFiscal;
  return Ok();
}

Outcome ReceiptModel::PrintNormal(const std::string& text) const {
  if (state_ != kPrinterNonFiscal) return WrongState();
  if (text.size() > static_cast<size_t>(ecrcmd::kLineWidth) || !ecrcmd::IsFieldText(text)) {
    return Illegal();
  }
  return Ok();
}

Outcome ReceiptModel::EndNonFiscal() {
  if (state_ != kPrinterNonFiscal) return WrongState();
  state_ = kPrinterMonitor;
  return Ok();
}

Outcome ReceiptModel::BeginTraining() {
  if (state_ != kPrinterMonitor || training_) return WrongState();
  training_ = true;
  return Ok();
}

Outcome ReceiptModel::EndTraining() {
  if (state_ != kPrinterMonitor || !training_) return WrongState();
  training_ = false;
  return Ok();
}

Outcome ReceiptModel::MonitorOnly() const {
  return state_ == kPrinterMonitor ? Ok() : WrongState();
}

void ReceiptModel::Sync(ecrcmd::DocumentState document, bool training, int64_t subtotal,
                        int64_t due, int64_t lastItem) {
  training_ = training;
  subtotal_ = subtotal;
  paid_ = subtotal - due;
  lastItem_ = lastItem < 0 ? -1 : lastItem;
  switch (document) {
    case ecrcmd::kDocReceipt:
      state_ = kPrinterFiscalReceipt;
      break;
    case ecrcmd::kDocReceiptTotal:
      state_ = kPrinterFiscalReceiptTotal;
      break;
    case ecrcmd::kDocReceiptEnding:
      state_ = kPrinterFiscalReceiptEnding;
      break;
    case ecrcmd::kDocNonFiscal:
      state_ = kPrinterNonFiscal;
      break;
    default:
      Reset();
      break;
  }
}

void ReceiptModel::Reset() {
  state_ = kPrinterMonitor;
  subtotal_ = 0;
  paid_ = 0;
  lastItem_ = -1;
}

}  // namespace kso
