// The Service Object's receipt model: the state machine behind the printer
// state and the checks that give the extended result codes. One table of
// steps, each from the state the previous ones left.
#include "receipt_model.h"

#include <gtest/gtest.h>

#include <functional>

#include "opos.h"

namespace {

using namespace opos;
using kso::Outcome;
using kso::ReceiptModel;

struct Step {
  const char* what;
  std::function<Outcome(ReceiptModel&)> run;
  long code;
  long extended;
  long stateAfter;
};

TEST(ReceiptModel, StepsThroughAReceiptAndRefusesWhatDoesNotFit) {
  const Step steps[] = {
      {"training in Monitor", [](ReceiptModel& m) { return m.BeginTraining(); }, 0, 0,
       kPrinterMonitor},
      {"training twice", [](ReceiptModel& m) { return m.BeginTraining(); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_WRONG_STATE, kPrinterMonitor},
      {"training ends", [](ReceiptModel& m) { return m.EndTraining(); }, 0, 0, kPrinterMonitor},
      {"message outside a receipt", [](ReceiptModel& m) { return m.Message("hi"); },
       OPOS_E_EXTENDED, OPOS_EFPTR_WRONG_STATE, kPrinterMonitor},
      {"begin", [](ReceiptModel& m) { return m.BeginFiscalReceipt(); }, 0, 0,
       kPrinterFiscalReceipt},
      {"adjustment before any item",
       [](ReceiptModel& m) { return m.ItemAdjustment(FPTR_AT_AMOUNT_DISCOUNT, "", 10, 1); },
       OPOS_E_EXTENDED, OPOS_EFPTR_WRONG_STATE, kPrinterFiscalReceipt},
      {"item 3 x 1.20 by unit price",
       [](ReceiptModel& m) { return m.Item("Soap", 0, 3000, 1, 120, "pcs"); }, 0, 0,
       kPrinterFiscalReceipt},
      {"unknown adjustment type", [](ReceiptModel& m) { return m.ItemAdjustment(9, "", 10, 0); },
       OPOS_E_ILLEGAL, 0, kPrinterFiscalReceipt},
      {"percentage over 100",
       [](ReceiptModel& m) { return m.ItemAdjustment(FPTR_AT_PERCENTAGE_DISCOUNT, "", 10001, 0); },
       OPOS_E_EXTENDED, OPOS_EFPTR_BAD_ITEM_AMOUNT, kPrinterFiscalReceipt},
      {"50 % off the soap",
       [](ReceiptModel& m) { return m.ItemAdjustment(FPTR_AT_PERCENTAGE_DISCOUNT, "", 5000, 0); },
       0, 0, kPrinterFiscalReceipt},
      {"void more than is left",
       [](ReceiptModel& m) { return m.VoidItem("Soap", 360, 0, FPTR_AT_AMOUNT_DISCOUNT, 100, 1); },
       OPOS_E_EXTENDED, OPOS_EFPTR_NEGATIVE_TOTAL, kPrinterFiscalReceipt},
      {"void with its discount taken back",
       [](ReceiptModel& m) { return m.VoidItem("Soap", 360, 0, FPTR_AT_AMOUNT_DISCOUNT, 180, 1); },
       0, 0, kPrinterFiscalReceipt},
      {"subtotal discount on nothing",
       [](ReceiptModel& m) { return m.SubtotalAdjustment(FPTR_AT_AMOUNT_DISCOUNT, "", 10); },
       OPOS_E_EXTENDED, OPOS_EFPTR_WRONG_STATE, kPrinterFiscalReceipt},
      {"item 10.00", [](ReceiptModel& m) { return m.Item("Towel", 1000, 0, 2, 0, ""); }, 0, 0,
       kPrinterFiscalReceipt},
      {"overflow", [](ReceiptModel& m) { return m.Item("Car", 99999999, 0, 2, 0, ""); },
       OPOS_E_EXTENDED, OPOS_EFPTR_RECEIPT_TOTAL_OVERFLOW, kPrinterFiscalReceipt},
      {"10 % surcharge on the subtotal",
       [](ReceiptModel& m) { return m.SubtotalAdjustment(FPTR_AT_PERCENTAGE_SURCHARGE, "", 1000); },
       0, 0, kPrinterFiscalReceipt},
      {"not paid beyond the total", [](ReceiptModel& m) { return m.NotPaid("Credit", 1101); },
       OPOS_E_EXTENDED, OPOS_EFPTR_BAD_ITEM_AMOUNT, kPrinterFiscalReceipt},
      {"total that differs", [](ReceiptModel& m) { return m.Total(1000, 500, "Cash", true); },
       OPOS_E_EXTENDED, OPOS_EFPTR_BAD_ITEM_AMOUNT, kPrinterFiscalReceipt},
      {"part payment", [](ReceiptModel& m) { return m.Total(1100, 600, "Cash", true); }, 0, 0,
       kPrinterFiscalReceiptTotal},
      {"item after a payment", [](ReceiptModel& m) { return m.Item("Pen", 100, 0, 1, 0, ""); },
       OPOS_E_EXTENDED, OPOS_EFPTR_WRONG_STATE, kPrinterFiscalReceiptTotal},
      {"the rest not paid", [](ReceiptModel& m) { return m.NotPaid("Credit", 500); }, 0, 0,
       kPrinterFiscalReceiptEnding},
      {"void after full payment", [](ReceiptModel& m) { return m.VoidReceipt(""); },
       OPOS_E_EXTENDED, OPOS_EFPTR_WRONG_STATE, kPrinterFiscalReceiptEnding},
      {"message at the end", [](ReceiptModel& m) { return m.Message("Bye"); }, 0, 0,
       kPrinterFiscalReceiptEnding},
      {"end", [](ReceiptModel& m) { return m.EndFiscalReceipt(); }, 0, 0, kPrinterMonitor},
      {"non-fiscal", [](ReceiptModel& m) { return m.BeginNonFiscal(); }, 0, 0, kPrinterNonFiscal},
      {"report inside it", [](ReceiptModel& m) { return m.MonitorOnly(); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_WRONG_STATE, kPrinterNonFiscal},
      {"line with a separator", [](ReceiptModel& m) { return m.PrintNormal("a|b"); },
       OPOS_E_ILLEGAL, 0, kPrinterNonFiscal},
      {"end non-fiscal", [](ReceiptModel& m) { return m.EndNonFiscal(); }, 0, 0, kPrinterMonitor},
  };
  ReceiptModel model;
  for (const Step& step : steps) {
    const Outcome o = step.run(model);
    EXPECT_EQ(step.code, o.code) << step.what;
    EXPECT_EQ(step.extended, o.extended) << step.what;
    EXPECT_EQ(step.stateAfter, model.PrinterState()) << step.what;
  }
}

}  // namespace
