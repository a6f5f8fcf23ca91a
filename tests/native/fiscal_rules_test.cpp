// The fiscal core's rules, one table each: line amounts and rounding,
// adjustments, the VAT split of subtotal adjustments, totals and change.
// Receipts are driven through the document state machine the way the
// printer and the Service Object drive it.
#include <gtest/gtest.h>

#include <random>

#include "document.h"
#include "operation.h"
#include "rules.h"
#include "virtual_printer.h"

namespace {

using namespace ecrcmd;
using fiscal::Operation;

Operation Op(char code) {
  Operation op;
  op.code = code;
  return op;
}

Operation Item(const char* text, int64_t amount, int vat = 1, int64_t qty = 0, int64_t unit = 0) {
  Operation op = Op(kItem);
  op.text = text;
  op.amount = amount;
  op.vat = vat;
  op.quantity = qty;
  op.unitPrice = unit;
  return op;
}

Operation Adjust(char code, int64_t type, int64_t amount, int vat = 0) {
  Operation op = Op(code);
  op.type = type;
  op.amount = amount;
  op.vat = vat;
  return op;
}

Operation Amounted(char code, const char* text, int64_t amount, int vat = 0) {
  Operation op = Op(code);
  op.text = text;
  op.amount = amount;
  op.vat = vat;
  return op;
}

Operation Void(const char* text, int64_t amount, int vat, int64_t qty = 0, int64_t type = 0,
               int64_t adjustment = 0) {
  Operation op = Amounted(kVoidItem, text, amount, vat);
  op.quantity = qty;
  op.type = type;
  op.adjustment = adjustment;
  return op;
}

Operation Pay(char code, int64_t amount, int64_t total = fiscal::kNoTotal) {
  Operation op = Amounted(code, "", amount);
  op.total = total;
  return op;
}

TEST(FiscalRules, LineAmountsAndMoneyRoundHalvesAwayFromZero) {
  struct Case {
    const char* what;
    int64_t amount, quantity, unitPrice, value;
  };
  const Case lines[] = {
      {"the amount wins over the unit price", 250, 3000, 99, 250},
      {"quantity times unit price", 0, 1500, 200, 300},
      {"no quantity is one piece", 0, 0, 199, 199},
      {"49.95 cents round up", 0, 333, 150, 50},
      {"half a cent rounds up", 0, 500, 1, 1},
      {"below half a cent rounds down", 0, 499, 1, 0},
      {"the largest line", 0, fiscal::kMaxQuantity, kMaxAmount, 99999998900000},
  };
  for (const Case& c : lines) {
    EXPECT_EQ(c.value, fiscal::LineValue(c.amount, c.quantity, c.unitPrice)) << c.what;
  }
  EXPECT_EQ(-1, fiscal::MulDivRound(-1, 1, 2));
  EXPECT_EQ(-2, fiscal::MulDivRound(-5, 1, 3));

  struct Money {
    int64_t currency;
    bool whole;
    int64_t cents;
    const char* text;
  };
  const Money money[] = {
      {25000, true, 250, "2.50"},
      {-500, true, -5, "-0.05"},
      {25050, false, 0, ""},
      {1, false, 0, ""},
      {9999999900, true, 99999999, "999999.99"},
  };
  for (const Money& m : money) {
    int64_t cents = 0;
    EXPECT_EQ(m.whole, fiscal::CentsFromCurrency(m.currency, &cents)) << m.currency;
    if (m.whole) {
      EXPECT_EQ(m.cents, cents);
      EXPECT_EQ(m.text, fiscal::FormatMoney(cents));
    }
  }
}

// Each step from the state the ones before left: an item adjustment never
// exceeds its item, stays on its rate, and follows its item directly.
TEST(FiscalRules, AdjustmentsStayWithinTheirItem) {
  struct Step {
    const char* what;
    Operation op;
    uint8_t error;
    int64_t subtotal;
  };
  const Step steps[] = {
      {"open", Op(kOpenReceipt), 0, 0},
      {"adjustment before any item", Adjust(kItemAdjustment, kAmountDiscount, 10), kErrWrongState,
       0},
      {"item 1.00 on A", Item("Pen", 100), 0, 100},
      {"item 5.00 on B", Item("Book", 500, 2), 0, 600},
      {"30.00 off the 5.00 item", Adjust(kItemAdjustment, kAmountDiscount, 3000), kErrNegativeTotal,
       600},
      {"on another rate than the item's", Adjust(kItemAdjustment, kAmountDiscount, 10, 1),
       kErrBadVat, 600},
      {"unknown type", Adjust(kItemAdjustment, 9, 10), kErrSyntax, 600},
      {"101 %", Adjust(kItemAdjustment, kPercentDiscount, 10001), kErrBadAmount, 600},
      {"10 % surcharge", Adjust(kItemAdjustment, kPercentSurcharge, 1000), 0, 650},
      {"100 % off the item with its surcharge", Adjust(kItemAdjustment, kPercentDiscount, 10000), 0,
       100},
      {"nothing left to take", Adjust(kItemAdjustment, kAmountDiscount, 1), kErrNegativeTotal, 100},
      {"surcharge beyond the receipt's limit",
       Adjust(kItemAdjustment, kAmountSurcharge, kMaxAmount), kErrTotalOverflow, 100},
      {"item 2.00 on C", Item("Ink", 200, 3), 0, 300},
      {"refund 0.50 on C", Amounted(kRefund, "Ink", 50, 3), 0, 250},
      {"after a refund there is no last item", Adjust(kItemAdjustment, kAmountDiscount, 10),
       kErrWrongState, 250},
      {"item 3.00 on A", Item("Pad", 300), 0, 550},
      {"void of a line never sold", Void("Pad", 301, 1), kErrBadAmount, 550},
      {"void naming the wrong rate", Void("Pad", 300, 2), kErrBadAmount, 550},
      {"void naming the wrong quantity", Void("Pad", 300, 1, 2000), kErrBadAmount, 550},
      {"void of the 3.00 item", Void("Pad", 300, 1, 1000), 0, 250},
      {"the same line twice", Void("Pad", 300, 1), kErrBadAmount, 250},
      {"after a void there is no last item", Adjust(kItemAdjustment, kAmountDiscount, 10),
       kErrWrongState, 250},
      {"void naming an adjustment the line did not have",
       Void("Book", 500, 2, 0, kAmountDiscount, 100), kErrBadAmount, 250},
      {"void of the book with what was done to it",
       Void("Book", 500, 2, 0, kPercentDiscount, 10000), 0, 250},
      {"item 1.00 on A", Item("Cap", 100), 0, 350},
      {"subtotal discount", Adjust(kSubtotalAdjustment, kAmountDiscount, 50), 0, 300},
      {"an item adjustment does not follow a subtotal",
       Adjust(kItemAdjustment, kAmountDiscount, 10), kErrWrongState, 300},
      {"subtotal discount beyond the subtotal", Adjust(kSubtotalAdjustment, kAmountDiscount, 301),
       kErrNegativeTotal, 300},
      {"refund beyond its rate", Amounted(kRefund, "Ink", 200, 3), kErrNegativeTotal, 300},
  };
  fiscal::Document doc;
  for (const Step& s : steps) {
    EXPECT_EQ(s.error, doc.Apply(s.op)) << s.what;
    EXPECT_EQ(s.subtotal, doc.Subtotal()) << s.what;
    for (int v = 0; v < kVatRates; ++v) {
      EXPECT_GE(doc.ReceiptTotals().Net(v), 0) << s.what << ", rate " << v + 1;
    }
  }
}

TEST(FiscalRules, SubtotalAdjustmentSharesAddUpAndNeverGoBelowZero) {
  struct Case {
    const char* what;
    int64_t value;
    fiscal::PerRate totals, shares;
  };
  const Case cases[] = {
      {"2.00 off 1.01 A + 1.01 B + 0.01 C", 200, {101, 101, 1, 0}, {100, 99, 1, 0}},
      {"in proportion when it divides", 60, {100, 200, 300, 0}, {10, 20, 30, 0}},
      {"all of it", 203, {101, 101, 1, 0}, {101, 101, 1, 0}},
      {"one rate", 7, {0, 0, 500, 0}, {0, 0, 7, 0}},
      {"a tie goes to the lower rate", 1, {100, 100, 0, 0}, {1, 0, 0, 0}},
      {"a surcharge beyond the totals", 1000, {1, 2, 0, 0}, {333, 667, 0, 0}},
      {"nothing to share over", 50, {0, 0, 0, 0}, {0, 0, 0, 0}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.shares, fiscal::ShareOverRates(c.value, c.totals)) << c.what;

  // Any discount up to the totals: exact sum, no share beyond its rate.
  std::mt19937 random(15);
  for (int i = 0; i < 20000; ++i) {
    fiscal::PerRate totals{};
    int64_t sum = 0;
    for (int64_t& t : totals) sum += t = random() % 4 == 0 ? 0 : random() % 100000;
    if (sum == 0) continue;
    const int64_t value = static_cast<int64_t>(random() % static_cast<uint32_t>(sum + 1));
    const fiscal::PerRate shares = fiscal::ShareOverRates(value, totals);
    int64_t got = 0;
    for (int v = 0; v < kVatRates; ++v) {
      ASSERT_GE(shares[v], 0);
      ASSERT_LE(shares[v], totals[v]) << value << " over " << sum;
      got += shares[v];
    }
    ASSERT_EQ(value, got);
  }
}

// Payments, change and the VAT: per receipt, and for the day the sum of
// what the receipts printed.
TEST(FiscalRules, TotalsChangeAndVat) {
  struct Step {
    const char* what;
    Operation op;
    uint8_t error;
    DocumentState state;
    int64_t due;
  };
  const Step steps[] = {
      {"open", Op(kOpenReceipt), 0, kDocReceipt, 0},
      {"item 6.30", Item("Cheese", 630, 2), 0, kDocReceipt, 630},
      {"a total that is not the receipt's", Pay(kPayment, 100, 600), kErrBadAmount, kDocReceipt,
       630},
      {"not paid beyond what is due", Pay(kNotPaid, 631), kErrBadAmount, kDocReceipt, 630},
      {"part payment with the right total", Pay(kPayment, 500, 630), 0, kDocReceiptTotal, 130},
      {"no more items", Item("Bread", 100), kErrWrongState, kDocReceiptTotal, 130},
      {"no total compared", Pay(kPayment, 100), 0, kDocReceiptTotal, 30},
      {"the rest and 0.70 change", Pay(kPayment, 100), 0, kDocReceiptEnding, -70},
      {"nothing more to pay", Pay(kPayment, 100), kErrWrongState, kDocReceiptEnding, -70},
      {"close", Op(kCloseReceipt), 0, kDocIdle, 0},
  };
  fiscal::Document doc;
  for (const Step& s : steps) {
    EXPECT_EQ(s.error, doc.Apply(s.op)) << s.what;
    EXPECT_EQ(s.state, doc.State()) << s.what;
    EXPECT_EQ(s.due, doc.Due()) << s.what;
  }

  const struct {
    int64_t total, rate, vat;
  } vat[] = {{122, 2200, 22}, {3, 2200, 1}, {110, 1000, 10}, {1, 400, 0}, {-3, 2200, -1}};
  for (const auto& v : vat) EXPECT_EQ(v.vat, fiscal::VatIncluded(v.total, v.rate)) << v.total;

  // Three receipts of 0.03 at 22 %: each prints 0.01 VAT, so the day holds
  // 0.03 (its net would give 0.02).
  ecrsim::VirtualPrinter printer;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ('O', printer.Execute("O1")[0]);
    ASSERT_EQ('A', printer.Execute("AGum|3||1||")[0]);
    ASSERT_EQ('P', printer.Execute("P3|3|")[0]);
    ASSERT_EQ('K', printer.Execute("K")[0]);
  }
  EXPECT_EQ("u32|3", printer.Execute("u1|16"));  // 32: the day is open
  EXPECT_EQ("u32|9", printer.Execute("u1|2"));
  EXPECT_NE(std::string::npos, printer.Paper().find("VAT A  22.00%        0.02        0.01"));
}

TEST(FiscalRules, TextsAreSplitAtLineFeedsAndRefuseControls) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ((Lines{"a"}), fiscal::SplitLines("a\n"));
  EXPECT_EQ((Lines{"a", "", "b"}), fiscal::SplitLines("a\r\n\nb"));
  EXPECT_EQ((Lines{""}), fiscal::SplitLines(""));
  EXPECT_EQ((Lines{""}), fiscal::SplitLines("\n"));
  const struct {
    std::string text;
    uint8_t description;
  } texts[] = {
      {"Caff\xE8 \x80 1,50", 0},  // code page 1252 letters and the euro sign
      {"grand total", kErrWordNotAllowed},
      {"a|b", kErrBadDescription},
      {"tab\there", kErrBadDescription},
      {"del\x7F", kErrBadDescription},
      {"c1 \x81", kErrBadDescription},
      {"c1 \x9D", kErrBadDescription},
      {std::string(25, 'x'), kErrBadDescription},
  };
  for (const auto& t : texts) EXPECT_EQ(t.description, fiscal::CheckDescription(t.text)) << t.text;
}

}  // namespace
