#include "document.h"

namespace fiscal {

using namespace ecrcmd;

int64_t Totals::Net(int rate) const {
  return items[rate] + surcharges[rate] - discounts[rate] - itemVoids[rate] - refunds[rate];
}

PerRate Totals::Nets() const {
  PerRate nets{};
  for (int v = 0; v < kVatRates; ++v) nets[v] = Net(v);
  return nets;
}

int64_t Totals::Net() const {
  int64_t sum = 0;
  for (int v = 0; v < kVatRates; ++v) sum += Net(v);
  return sum;
}

void Totals::Add(const Totals& r) {
  for (int v = 0; v < kVatRates; ++v) {
    items[v] += r.items[v];
    surcharges[v] += r.surcharges[v];
    discounts[v] += r.discounts[v];
    itemVoids[v] += r.itemVoids[v];
    refunds[v] += r.refunds[v];
    vat[v] += r.vat[v];
  }
  notPaid += r.notPaid;
  voidedReceipts += r.voidedReceipts;
  receipts += 1;
}

// clang-format off
const Document::Handler Document::kHandlers[] = {
    {kOpenReceipt, &Document::Open},
    {kItem, &Document::Item},
    {kItemAdjustment, &Document::ItemAdjustment},
    {kVoidItem, &Document::VoidItem},
    {kRefund, &Document::Refund},
    {kMessage, &Document::Message},
    {kSubtotal, &Document::Subtotal},
    {kSubtotalAdjustment, &Document::SubtotalAdjustment},
    {kNotPaid, &Document::Pay},
    {kPayment, &Document::Pay},
    {kVoidReceipt, &Document::VoidReceipt},
    {kCloseReceipt, &Document::Close},
    {kNonFiscal, &Document::NonFiscal},
    {kPrintLine, &Document::PrintLine},
    {kTraining, &Document::TrainingMode},
    {kReset, &Document::Cancel},
};
// clang-format on

bool Document::InReceipt() const {
  return state_ == kDocReceipt || state_ == kDocReceiptTotal || state_ == kDocReceiptEnding;
}

uint8_t Document::Apply(const Operation& op, Effect* effect) {
  Effect ignored;
  if (!effect) effect = &ignored;
  *effect = Effect{};
  for (const Handler& h : kHandlers) {
    if (h.code == op.code) return (this->*h.step)(op, effect);
  }
  return kErrUnknownCommand;
}

uint8_t Document::CheckIdle() const {
  return state_ == kDocIdle ? 0 : kErrWrongState;
}

uint8_t Document::CheckAmount(int64_t amount) const {
  return amount >= 0 && amount <= kMaxAmount ? 0 : kErrBadAmount;
}

uint8_t Document::CheckAdjustment(int64_t type, int64_t amount) const {
  if (!IsAdjustmentType(type)) return kErrSyntax;
  if (IsPercent(type) && (amount < 0 || amount > kFullPercent)) return kErrBadAmount;
  return CheckAmount(amount);
}

uint8_t Document::CheckRoom(int64_t more) const {
  return more <= kMaxAmount && subtotal_ + more <= kMaxAmount ? 0 : kErrTotalOverflow;
}

void Document::Reset() {
  state_ = kDocIdle;
  known_ = true;
  voided_ = false;
  subtotal_ = 0;
  paid_ = 0;
  totals_ = Totals{};
  lines_.clear();
  lastItem_ = -1;
}

void Document::Restore(const Snapshot& s) {
  const bool training = s.training;
  Reset();
  training_ = training;
  state_ = s.document;
  if (!InReceipt()) return;
  known_ = false;
  subtotal_ = s.subtotal;
  paid_ = state_ == kDocReceipt ? 0 : s.subtotal - s.due;
  if (s.lastItem >= 0) {
    Line line;
    line.value = s.lastItem;
    line.vat = s.lastItemVat;
    lines_.push_back(line);
    lastItem_ = 0;
  }
}

void Document::TakeSubtotal(int64_t subtotal) {
  if (subtotal == subtotal_) return;
  subtotal_ = subtotal;
  known_ = false;
}

void Document::TakeDue(int64_t due) {
  if (due == Due()) return;
  paid_ = subtotal_ - due;
  if (state_ == kDocReceipt || state_ == kDocReceiptTotal) {
    state_ = due > 0 ? kDocReceiptTotal : kDocReceiptEnding;
  }
}

uint8_t Document::Open(const Operation& op, Effect*) {
  if (state_ != kDocIdle) return kErrWrongState;
  if (op.flag != 0 && op.flag != 1) return kErrSyntax;
  Reset();
  state_ = kDocReceipt;
  return 0;
}

uint8_t Document::Item(const Operation& op, Effect* e) {
  if (state_ != kDocReceipt) return kErrWrongState;
  if (uint8_t error = CheckDescription(op.text)) return error;
  if (op.quantity < 0 || op.quantity > kMaxQuantity) return kErrBadQuantity;
  if (op.unitPrice < 0 || op.unitPrice > kMaxAmount) return kErrBadPrice;
  if (uint8_t error = CheckAmount(op.amount)) return error;
  if (op.vat < 1 || op.vat > kVatRates) return kErrBadVat;
  if (op.unitName.size() > static_cast<size_t>(kUnitNameLength) || !IsFieldText(op.unitName)) {
    return kErrBadDescription;
  }
  const int64_t value = LineValue(op.amount, op.quantity, op.unitPrice);
  if (uint8_t error = CheckRoom(value)) return error;
  Line line;
  line.description = op.text;
  line.value = value;
  line.quantity = op.quantity == 0 ? 1000 : op.quantity;
  line.vat = static_cast<int>(op.vat);
  lines_.push_back(line);
  lastItem_ = static_cast<int>(lines_.size()) - 1;
  totals_.items[line.vat - 1] += value;
  subtotal_ += value;
  e->value = value;
  e->vat = line.vat;
  return 0;
}

uint8_t Document::ItemAdjustment(const Operation& op, Effect* e) {
  if (state_ != kDocReceipt || lastItem_ < 0) return kErrWrongState;
  if (uint8_t error = CheckAdjustment(op.type, op.amount)) return error;
  if (uint8_t error = CheckDescription(op.text)) return error;
  Line& line = lines_[lastItem_];
  // The adjustment belongs to the item: on its rate, never beyond its value.
  if (op.vat < 0 || op.vat > kVatRates || (op.vat != 0 && line.vat != 0 && op.vat != line.vat)) {
    return kErrBadVat;
  }
  const int vat = line.vat != 0 ? line.vat : static_cast<int>(op.vat);
  const int64_t value = AdjustmentValue(op.type, op.amount, line.Net());
  if (IsDiscount(op.type)) {
    if (value > line.Net() || value > subtotal_ || (known_ && value > totals_.Net(vat - 1))) {
      return kErrNegativeTotal;
    }
    line.discounts += value;
    if (vat != 0) totals_.discounts[vat - 1] += value;
    subtotal_ -= value;
  } else {
    if (uint8_t error = CheckRoom(value)) return error;
    line.surcharges += value;
    if (vat != 0) totals_.surcharges[vat - 1] += value;
    subtotal_ += value;
  }
  e->value = value;
  e->vat = vat;
  return 0;
}

uint8_t Document::VoidItem(const Operation& op, Effect* e) {
  if (state_ != kDocReceipt) return kErrWrongState;
  if (uint8_t error = CheckDescription(op.text)) return error;
  if (op.quantity < 0 || op.quantity > kMaxQuantity) return kErrBadQuantity;
  if (uint8_t error = CheckAmount(op.amount)) return error;
  if (op.type != 0) {
    if (uint8_t error = CheckAdjustment(op.type, op.adjustment)) return error;
  }
  if (op.vat < 1 || op.vat > kVatRates) return kErrBadVat;
  // The value the void names: the item with its adjustment taken back.
  int64_t named = op.amount;
  if (op.type != 0) {
    const int64_t adjustment = AdjustmentValue(op.type, op.adjustment, op.amount);
    named += IsDiscount(op.type) ? -adjustment : adjustment;
  }
  const int v = static_cast<int>(op.vat) - 1;
  int64_t value = named;
  if (known_) {
    // It must name an item of this receipt not voided yet, and takes it
    // off whole, with the adjustments it had.
    Line* found = nullptr;
    for (Line& line : lines_) {
      if (!line.voided && line.description == op.text && line.vat == op.vat &&
          line.value == op.amount && (op.quantity == 0 || line.quantity == op.quantity) &&
          (op.type == 0 || named == line.Net())) {
        found = &line;
        break;
      }
    }
    if (!found) return kErrBadAmount;
    value = found->Net();
    if (value > totals_.Net(v)) return kErrNegativeTotal;
    found->voided = true;
  } else if (value < 0 || value > subtotal_) {
    return kErrNegativeTotal;
  }
  totals_.itemVoids[v] += value;
  subtotal_ -= value;
  lastItem_ = -1;
  e->value = value;
  e->vat = v + 1;
  return 0;
}

uint8_t Document::Refund(const Operation& op, Effect* e) {
  if (state_ != kDocReceipt) return kErrWrongState;
  if (uint8_t error = CheckDescription(op.text)) return error;
  if (uint8_t error = CheckAmount(op.amount)) return error;
  if (op.vat < 1 || op.vat > kVatRates) return kErrBadVat;
  const int v = static_cast<int>(op.vat) - 1;
  if (op.amount > (known_ ? totals_.Net(v) : subtotal_)) return kErrNegativeTotal;
  totals_.refunds[v] += op.amount;
  subtotal_ -= op.amount;
  lastItem_ = -1;
  e->value = op.amount;
  e->vat = v + 1;
  return 0;
}

uint8_t Document::Message(const Operation& op, Effect*) {
  if (!InReceipt()) return kErrWrongState;
  for (const std::string& line : op.lines) {
    if (uint8_t error = CheckLine(line, kLineWidth)) return error;
  }
  return 0;
}

uint8_t Document::Subtotal(const Operation& op, Effect* e) {
  if (state_ != kDocReceipt) return kErrWrongState;
  if (uint8_t error = CheckAmount(op.amount)) return error;
  e->value = subtotal_;
  return 0;
}

uint8_t Document::SubtotalAdjustment(const Operation& op, Effect* e) {
  if (state_ != kDocReceipt) return kErrWrongState;
  if (uint8_t error = CheckAdjustment(op.type, op.amount)) return error;
  if (uint8_t error = CheckDescription(op.text)) return error;
  if (subtotal_ <= 0) return kErrWrongState;  // nothing to share it over
  const int64_t value = AdjustmentValue(op.type, op.amount, subtotal_);
  const bool discount = IsDiscount(op.type);
  if (discount && value > subtotal_) return kErrNegativeTotal;
  if (!discount) {
    if (uint8_t error = CheckRoom(value)) return error;
  }
  if (known_) {
    e->shares = ShareOverRates(value, totals_.Nets());
    PerRate& target = discount ? totals_.discounts : totals_.surcharges;
    for (int v = 0; v < kVatRates; ++v) target[v] += e->shares[v];
  }
  subtotal_ += discount ? -value : value;
  lastItem_ = -1;  // an item adjustment follows its item, not a subtotal
  e->value = value;
  return 0;
}

uint8_t Document::Pay(const Operation& op, Effect* e) {
  const bool notPaid = op.code == kNotPaid;
  if (state_ != kDocReceipt && state_ != kDocReceiptTotal) return kErrWrongState;
  if (uint8_t error = CheckDescription(op.text)) return error;
  if (!notPaid && op.total != kNoTotal && op.total != subtotal_) return kErrBadAmount;
  if (uint8_t error = CheckAmount(op.amount)) return error;
  if (notPaid && op.amount > Due()) return kErrBadAmount;  // more than is due
  paid_ += op.amount;
  if (notPaid) totals_.notPaid += op.amount;
  state_ = Due() > 0 ? kDocReceiptTotal : kDocReceiptEnding;
  e->value = op.amount;
  return 0;
}

uint8_t Document::VoidReceipt(const Operation& op, Effect*) {
  if (state_ != kDocReceipt && state_ != kDocReceiptTotal) return kErrWrongState;
  if (uint8_t error = CheckDescription(op.text)) return error;
  voided_ = true;
  state_ = kDocReceiptEnding;
  return 0;
}

uint8_t Document::Close(const Operation&, Effect*) {
  if (state_ != kDocReceiptEnding) return kErrWrongState;
  Reset();
  return 0;
}

uint8_t Document::NonFiscal(const Operation& op, Effect*) {
  if (op.flag != 0 && op.flag != 1) return kErrSyntax;
  if (op.flag ? state_ != kDocIdle : state_ != kDocNonFiscal) return kErrWrongState;
  state_ = op.flag ? kDocNonFiscal : kDocIdle;
  return 0;
}

uint8_t Document::PrintLine(const Operation& op, Effect*) {
  if (state_ != kDocNonFiscal) return kErrWrongState;
  if (op.flag < kStationJournal || op.flag > kStationBoth) return kErrSyntax;
  for (const std::string& line : op.lines) {
    if (uint8_t error = CheckLine(line, kLineWidth)) return error;
  }
  return 0;
}

uint8_t Document::TrainingMode(const Operation& op, Effect*) {
  if (op.flag != 0 && op.flag != 1) return kErrSyntax;
  if (state_ != kDocIdle || (op.flag != 0) == training_) return kErrWrongState;
  training_ = op.flag != 0;
  return 0;
}

uint8_t Document::Cancel(const Operation&, Effect*) {
  Reset();
  return 0;
}

}  // namespace fiscal
