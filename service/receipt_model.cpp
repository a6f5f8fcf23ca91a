#include "receipt_model.h"

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

Outcome FromEcrError(uint8_t error) {
  if (error == 0) return Ok();
  if (error >= ecrcmd::kErrCoverOpen && error <= ecrcmd::kErrWordNotAllowed) {
    return Extended(200 + error);
  }
  if (error == ecrcmd::kErrBusy) return Outcome{OPOS_E_BUSY, 0};
  if (error == ecrcmd::kErrSyntax || error == ecrcmd::kErrUnknownCommand) return Illegal();
  return Outcome{OPOS_E_FAILURE, 0};
}

long ReceiptModel::PrinterState() const {
  switch (doc_.State()) {
    case ecrcmd::kDocReceipt:
      return kPrinterFiscalReceipt;
    case ecrcmd::kDocReceiptTotal:
      return kPrinterFiscalReceiptTotal;
    case ecrcmd::kDocReceiptEnding:
      return kPrinterFiscalReceiptEnding;
    case ecrcmd::kDocNonFiscal:
      return kPrinterNonFiscal;
    default:
      return kPrinterMonitor;
  }
}

Outcome ReceiptModel::Apply(const fiscal::Operation& op) {
  return FromEcrError(doc_.Apply(op));
}

Outcome ReceiptModel::MonitorOnly() const {
  return FromEcrError(doc_.CheckIdle());
}

void ReceiptModel::Sync(ecrcmd::DocumentState document, bool training, int64_t subtotal,
                        int64_t due, int64_t lastItem) {
  fiscal::Snapshot s;
  s.document = document;
  s.training = training;
  s.subtotal = subtotal;
  s.due = due;
  s.lastItem = lastItem;
  doc_.Restore(s);
}

}  // namespace kso
