// The document state machine of a fiscal printer: which document is open
// (none, a fiscal receipt in its phases, a non-fiscal document), training
// mode, and the receipt in progress with its lines, its totals per VAT rate
// and its payments. Apply checks one operation against the state and its
// arguments and either carries it out or refuses it with the ECR's error
// number and changes nothing.
//
// The virtual printer keeps one of these as its own state; the Service
// Object keeps one as its model of the printer, so both accept and refuse
// the same things for the same reasons. A model rebuilt from the printer's
// status (Restore) knows the receipt's totals but not its lines or rates;
// checks that need them are then left to the printer. Plain C++.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ecr_commands.h"
#include "operation.h"
#include "rules.h"

namespace fiscal {

// What a receipt or a day sold, per VAT rate where it can be.
struct Totals {
  PerRate items{}, surcharges{}, discounts{}, itemVoids{}, refunds{};
  PerRate vat{};  // VAT contained, as the receipts printed it (per receipt)
  int64_t notPaid = 0;
  int64_t voidedReceipts = 0;  // value of the receipts voided whole
  int receipts = 0;

  int64_t Net(int rate) const;  // rate: 0-based
  PerRate Nets() const;
  int64_t Net() const;
  // Adds a closed receipt's figures (and counts it).
  void Add(const Totals& receipt);
};

// An item sold in this receipt, for its adjustments and voids.
struct Line {
  std::string description;
  int64_t value = 0;
  int64_t quantity = 1000;
  int vat = 1;  // 1-based
  int64_t surcharges = 0, discounts = 0;
  bool voided = false;
  int64_t Net() const { return value + surcharges - discounts; }
};

// What the printer's status tells of an open receipt.
struct Snapshot {
  ecrcmd::DocumentState document = ecrcmd::kDocIdle;
  bool training = false;
  int64_t subtotal = 0;
  int64_t due = 0;
  int64_t lastItem = -1;  // net of the item an adjustment would apply to; -1: none
  int lastItemVat = 0;
};

// What an operation did, for printing it.
struct Effect {
  int64_t value = 0;  // the line's value (item, adjustment, void, refund, payment)
  int vat = 0;        // 1-based rate it went to; 0: none or shared
  PerRate shares{};   // subtotal adjustments: the value per rate
};

class Document {
 public:
  ecrcmd::DocumentState State() const { return state_; }
  bool Training() const { return training_; }
  bool InReceipt() const;
  int64_t Subtotal() const { return subtotal_; }
  int64_t Paid() const { return paid_; }
  int64_t Due() const { return subtotal_ - paid_; }
  bool Voided() const { return voided_; }
  // False after Restore until the next receipt: lines and rates unknown.
  bool Known() const { return known_; }
  const Totals& ReceiptTotals() const { return totals_; }
  // The item an item adjustment would apply to, or null.
  const Line* LastItem() const { return lastItem_ < 0 ? nullptr : &lines_[lastItem_]; }

  // Carries out op (codes of IsDocumentCode): 0, or the error number.
  uint8_t Apply(const Operation& op, Effect* effect = nullptr);
  // Reports, presettings and the duplicate: 0 with no document open, else
  // kErrWrongState.
  uint8_t CheckIdle() const;

  // Takes the printer's word for the state of the receipt.
  void Restore(const Snapshot& s);
  // Takes the printer's figure for the receipt's subtotal or amount due
  // (when it differs from ours, the lines and rates count as unknown).
  void TakeSubtotal(int64_t subtotal);
  void TakeDue(int64_t due);
  // No document open, no receipt in progress (training stays).
  void Reset();

 private:
  using Step = uint8_t (Document::*)(const Operation&, Effect*);
  struct Handler {
    char code;
    Step step;
  };
  static const Handler kHandlers[];

  uint8_t Open(const Operation& op, Effect* e);
  uint8_t Item(const Operation& op, Effect* e);
  uint8_t ItemAdjustment(const Operation& op, Effect* e);
  uint8_t VoidItem(const Operation& op, Effect* e);
  uint8_t Refund(const Operation& op, Effect* e);
  uint8_t Message(const Operation& op, Effect* e);
  uint8_t Subtotal(const Operation& op, Effect* e);
  uint8_t SubtotalAdjustment(const Operation& op, Effect* e);
  uint8_t Pay(const Operation& op, Effect* e);
  uint8_t VoidReceipt(const Operation& op, Effect* e);
  uint8_t Close(const Operation& op, Effect* e);
  uint8_t NonFiscal(const Operation& op, Effect* e);
  uint8_t PrintLine(const Operation& op, Effect* e);
  uint8_t TrainingMode(const Operation& op, Effect* e);
  uint8_t Cancel(const Operation& op, Effect* e);

  uint8_t CheckAmount(int64_t amount) const;
  uint8_t CheckAdjustment(int64_t type, int64_t amount) const;
  // Room for more on the receipt: 0 or kErrTotalOverflow.
  uint8_t CheckRoom(int64_t more) const;

  ecrcmd::DocumentState state_ = ecrcmd::kDocIdle;
  bool training_ = false;
  bool known_ = true;
  bool voided_ = false;
  int64_t subtotal_ = 0;
  int64_t paid_ = 0;
  Totals totals_;
  std::vector<Line> lines_;
  int lastItem_ = -1;  // index in lines_ of the item an adjustment applies to
};

}  // namespace fiscal
