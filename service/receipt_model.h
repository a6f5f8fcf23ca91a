// The fiscal printer's state as the Service Object keeps it: the printer
// state, training mode and the receipt in progress, on the same document
// state machine the printer runs (fiscal/document.h), so that the model
// accepts and refuses what the printer does, with the same result. A
// refusal leaves the model unchanged. The Service Object works on a copy
// and keeps it only once the ECR has done the operation (or, in
// asynchronous mode, once it is queued), so the ECR's own answers stay the
// last word. Plain C++, no Windows headers.
#pragma once

#include <cstdint>
#include <string>

#include "document.h"
#include "ecr_commands.h"
#include "operation.h"

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
// The ECR's error number as the OPOS result the application gets.
Outcome FromEcrError(uint8_t error);

// Amounts in cents, percentages in hundredths, quantities in thousandths.
class ReceiptModel {
 public:
  long PrinterState() const;
  bool Training() const { return doc_.Training(); }
  int64_t Subtotal() const { return doc_.Subtotal(); }
  int64_t Due() const { return doc_.Due(); }
  const fiscal::Document& Document() const { return doc_; }

  // One document operation (receipt lines, payments, non-fiscal lines,
  // modes): Ok and the model moves on, or the result the printer gives.
  Outcome Apply(const fiscal::Operation& op);
  // Reports, presettings and the duplicate: only in the Monitor state.
  Outcome MonitorOnly() const;

  // After the ECR's own word: its document state, training mode, and the
  // open receipt's subtotal, amount still due and last item (-1: none).
  // The receipt's lines and rates stay unknown until it ends: the checks
  // that need them are left to the printer.
  void Sync(ecrcmd::DocumentState document, bool training, int64_t subtotal, int64_t due,
            int64_t lastItem);
  // After an answer that carries the receipt's subtotal or the amount due.
  void SetSubtotal(int64_t subtotal) { doc_.TakeSubtotal(subtotal); }
  void SetDue(int64_t due) { doc_.TakeDue(due); }
  // Back to Monitor with no receipt (a reset of the printer).
  void Reset() { doc_.Reset(); }

 private:
  fiscal::Document doc_;
};

}  // namespace kso
