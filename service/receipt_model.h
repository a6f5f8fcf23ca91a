// The fiscal printer's state machine as the Service Object keeps it: the
// printer state, training mode and the receipt in progress (subtotal,
// amount paid, last item). Every operation checks its state and arguments
// and, when they pass, moves the model on; a refusal leaves it unchanged.
// The Service Object works on a copy and keeps it only once the ECR has
// done the operation (or, in asynchronous mode, once it is queued), so the
// ECR's own answers stay the last word. Plain C++, no Windows headers.
#pragma once

#include <cstdint>
#include <string>

#include "ecr_commands.h"

namespace kso {

// An OPOS result: the code and, for OPOS_E_EXTENDED, the extended code.
struct Outcome {
  long code = 0;
  long extended = 0;
  explicit operator bool() const { return code == 0; }
};

Outcome Ok();
Outcome Illegal();
Outcome Extended(long extendedCode);

// Amounts in cents, percentages in hundredths, quantities in thousandths.
class ReceiptModel {
 public:
  long PrinterState() const { return state_; }
  bool Training() const { return training_; }
  int64_t Subtotal() const { return subtotal_; }
  int64_t Due() const { return subtotal_ - paid_; }

  Outcome BeginFiscalReceipt();
  // description is checked for length and the reserved word.
  Outcome Item(const std::string& description, int64_t amount, long quantity, long vat,
               int64_t unitPrice, const std::string& unitName);
  Outcome ItemAdjustment(long type, const std::string& description, int64_t amount, long vat);
  Outcome VoidItem(const std::string& description, int64_t amount, long quantity, long adjType,
                   int64_t adjustment, long vat);
  Outcome Refund(const std::string& description, int64_t amount, long vat);
  Outcome Message(const std::string& text) const;
  Outcome Subtotal(int64_t amount) const;
  Outcome SubtotalAdjustment(long type, const std::string& description, int64_t amount);
  Outcome NotPaid(const std::string& description, int64_t amount);
  // checkTotal: the application's total must equal the receipt's.
  Outcome Total(int64_t total, int64_t payment, const std::string& description, bool checkTotal);
  Outcome VoidReceipt(const std::string& description);
  Outcome EndFiscalReceipt();

  Outcome BeginNonFiscal();
  Outcome PrintNormal(const std::string& text) const;
  Outcome EndNonFiscal();
  Outcome BeginTraining();
  Outcome EndTraining();
  // Reports, presettings and the duplicate: only in the Monitor state.
  Outcome MonitorOnly() const;

  // After the ECR's own word: its document state, training mode, and the
  // open receipt's subtotal, amount still due and last item (-1: none).
  void Sync(ecrcmd::DocumentState document, bool training, int64_t subtotal, int64_t due,
            int64_t lastItem);
  // After an answer that carries the receipt's subtotal or the amount due.
  void SetSubtotal(int64_t subtotal) { subtotal_ = subtotal; }
  void SetDue(int64_t due);
  // Back to Monitor with no receipt (a reset of the printer).
  void Reset();

 private:
  bool InSales() const;
  Outcome AddToSubtotal(int64_t amount);
  Outcome TakeFromSubtotal(int64_t amount);

  long state_ = 1;  // opos::kPrinterMonitor
  bool training_ = false;
  int64_t subtotal_ = 0;
  int64_t paid_ = 0;
  int64_t lastItem_ = -1;  // -1: no item in this receipt yet
};

// Checks a description (length, reserved word): Ok or the extended code.
Outcome CheckDescription(const std::string& description);

}  // namespace kso
