// The Service Object's receipt model and the virtual printer given the
// same calls: each operation is stepped on the model as the Service Object
// does it, sent as the command it builds, and executed by the printer.
// Both must accept and refuse alike, with the same result, and agree on the
// printer state and the receipt's figures; the day's totals must be the sum
// of the receipts. One scripted receipt, then random call sequences
// (KERUNEL_DIFF_SEQUENCES of them, 400 by default).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>

#include "ecr_answer.h"
#include "opos.h"
#include "receipt_model.h"
#include "rules.h"
#include "virtual_printer.h"

namespace {

using namespace ecrcmd;
using fiscal::Operation;
using kso::Outcome;

constexpr std::array<int64_t, kVatRates> kRates = {2200, 1000, 400, 0};  // the printer's own

std::string Show(const Operation& op) {
  std::string command = fiscal::BuildCommand(op);
  for (char& c : command) {
    if (static_cast<unsigned char>(c) < 0x20) c = '^';
  }
  return command;
}

bool TravelsAsFields(const Operation& op) {
  bool ok = IsFieldText(op.text) && IsFieldText(op.unitName);
  for (const std::string& line : op.lines) ok = ok && IsFieldText(line);
  return ok;
}

DocumentState StateOf(long printerState) {
  switch (printerState) {
    case opos::kPrinterFiscalReceipt:
      return kDocReceipt;
    case opos::kPrinterFiscalReceiptTotal:
      return kDocReceiptTotal;
    case opos::kPrinterFiscalReceiptEnding:
      return kDocReceiptEnding;
    case opos::kPrinterNonFiscal:
      return kDocNonFiscal;
    default:
      return kDocIdle;
  }
}

int64_t Value(ecrsim::VirtualPrinter& printer, const std::string& query) {
  Answer a;
  int64_t v = -1;
  if (ParseAnswer(printer.Execute(query), &a) && !a.isError && !a.fields.empty()) {
    ParseNumber(a.fields[0], &v);
  }
  return v;
}

// Both sides, and what the day should hold by the receipts they closed.
class Sides {
 public:
  // Steps op on both; returns the model's outcome, or records why the two
  // disagree in *why.
  Outcome Run(const Operation& op, std::string* why) {
    kso::ReceiptModel next = model_;
    Outcome expected = next.Apply(op);
    const std::string command = fiscal::BuildCommand(op);
    if (expected && command.size() > kMaxMessage) expected = kso::Illegal();  // never sent
    if (!TravelsAsFields(op) || command.size() > kMaxMessage) {
      if (expected) *why = "the model accepts what the wire cannot carry";
      return expected;
    }
    const fiscal::Document before = model_.Document();
    Answer answer;
    std::string wrong;
    switch (ReadAnswer(command, 0, printer_.Execute(command), &answer, &wrong)) {
      case AnswerFit::kNotThis:
        *why = "the printer's answer does not answer the command";
        return expected;
      case AnswerFit::kMalformed:
        *why = "the printer's answer is not valid: " + wrong;
        return expected;
      case AnswerFit::kValid:
        break;
    }
    const Outcome got = answer.isError ? kso::FromEcrError(answer.error) : kso::Ok();
    if (got.code != expected.code || got.extended != expected.extended) {
      std::ostringstream s;
      s << "model " << expected.code << "/" << expected.extended << ", printer " << got.code << "/"
        << got.extended;
      *why = s.str();
      return expected;
    }
    if (expected) {
      model_ = next;
      if (op.code == kCloseReceipt) Count(before);
    }
    if (StateOf(model_.PrinterState()) != printer_.Document()) {
      *why = "the printer state differs";
    } else if (model_.Document().InReceipt() && Value(printer_, "g1") != model_.Subtotal()) {
      *why = "the subtotal differs: printer " + std::to_string(Value(printer_, "g1")) + ", model " +
             std::to_string(model_.Subtotal());
    } else if ((model_.Document().State() == kDocReceiptTotal ||
                model_.Document().State() == kDocReceiptEnding) &&
               (op.code == kPayment || op.code == kNotPaid) && !answer.fields.empty() &&
               answer.fields[0] != std::to_string(model_.Due())) {
      *why = "the amount due differs";
    }
    return expected;
  }

  // The day's totals are what the closed receipts printed, and no rate is
  // below zero.
  void CheckDay() const {
    EXPECT_EQ(dayNet_, Value(printer_, "g2"));
    EXPECT_EQ(dayVat_, Value(printer_, "u0|16"));
    for (int v = 1; v <= kVatRates; ++v) {
      EXPECT_GE(Value(printer_, "u" + std::to_string(v) + "|2"), 0) << "rate " << v;
    }
  }

  const kso::ReceiptModel& Model() const { return model_; }

 private:
  void Count(const fiscal::Document& closed) {
    if (closed.Training() || closed.Voided()) return;
    for (int v = 0; v < kVatRates; ++v) {
      const int64_t net = closed.ReceiptTotals().Net(v);
      dayNet_ += net;
      dayVat_ += fiscal::VatIncluded(net, kRates[v]);
    }
  }
  static int64_t Value(const ecrsim::VirtualPrinter& printer, const std::string& query) {
    return ::Value(const_cast<ecrsim::VirtualPrinter&>(printer), query);
  }

  kso::ReceiptModel model_;
  ecrsim::VirtualPrinter printer_;
  int64_t dayNet_ = 0, dayVat_ = 0;
};

Operation Op(char code, const std::string& text = "", int64_t amount = 0, int64_t vat = 0) {
  Operation op;
  op.code = code;
  op.text = text;
  op.amount = amount;
  op.vat = vat;
  return op;
}

TEST(ReceiptDifferential, ScriptedReceiptGivesTheSameResultsOnBothSides) {
  auto adjust = [](char code, int64_t type, int64_t amount, int64_t vat = 0) {
    Operation op = Op(code, "", amount, vat);
    op.type = type;
    return op;
  };
  auto flag = [](char code, int64_t flag) {
    Operation op = Op(code);
    op.flag = flag;
    return op;
  };
  auto lines = [](char code, const std::string& text, int64_t station = 0) {
    Operation op = Op(code);
    op.lines = fiscal::SplitLines(text);
    op.flag = station;
    return op;
  };
  Operation soap = Op(kItem, "Soap", 0, 1);
  soap.quantity = 3000;
  soap.unitPrice = 120;
  soap.unitName = "pcs";
  Operation voidTooMuch = Op(kVoidItem, "Soap", 360, 1);
  voidTooMuch.type = kAmountDiscount;
  voidTooMuch.adjustment = 100;
  Operation voidSoap = voidTooMuch;
  voidSoap.adjustment = 180;
  Operation wrongTotal = Op(kPayment, "Cash", 500);
  wrongTotal.total = 1000;
  Operation partPayment = Op(kPayment, "Cash", 600);
  partPayment.total = 1100;

  struct Step {
    const char* what;
    Operation op;
    long code;
    long extended;
    long stateAfter;
  };
  using namespace opos;
  const Step steps[] = {
      {"training in Monitor", flag(kTraining, 1), 0, 0, kPrinterMonitor},
      {"training twice", flag(kTraining, 1), 114, OPOS_EFPTR_WRONG_STATE, kPrinterMonitor},
      {"training ends", flag(kTraining, 0), 0, 0, kPrinterMonitor},
      {"message outside a receipt", lines(kMessage, "hi"), 114, OPOS_EFPTR_WRONG_STATE,
       kPrinterMonitor},
      {"begin", flag(kOpenReceipt, 1), 0, 0, kPrinterFiscalReceipt},
      {"adjustment before any item", adjust(kItemAdjustment, kAmountDiscount, 10, 1), 114,
       OPOS_EFPTR_WRONG_STATE, kPrinterFiscalReceipt},
      {"item 3 x 1.20 by unit price", soap, 0, 0, kPrinterFiscalReceipt},
      {"unknown adjustment type", adjust(kItemAdjustment, 9, 10), OPOS_E_ILLEGAL, 0,
       kPrinterFiscalReceipt},
      {"percentage over 100", adjust(kItemAdjustment, kPercentDiscount, 10001), 114,
       OPOS_EFPTR_BAD_ITEM_AMOUNT, kPrinterFiscalReceipt},
      {"50 % off the soap", adjust(kItemAdjustment, kPercentDiscount, 5000), 0, 0,
       kPrinterFiscalReceipt},
      {"void naming a discount the soap did not get", voidTooMuch, 114, OPOS_EFPTR_BAD_ITEM_AMOUNT,
       kPrinterFiscalReceipt},
      {"void with its discount taken back", voidSoap, 0, 0, kPrinterFiscalReceipt},
      {"subtotal discount on nothing", adjust(kSubtotalAdjustment, kAmountDiscount, 10), 114,
       OPOS_EFPTR_WRONG_STATE, kPrinterFiscalReceipt},
      {"item 10.00", Op(kItem, "Towel", 1000, 2), 0, 0, kPrinterFiscalReceipt},
      {"overflow", Op(kItem, "Car", kMaxAmount, 2), 114, OPOS_EFPTR_RECEIPT_TOTAL_OVERFLOW,
       kPrinterFiscalReceipt},
      {"10 % surcharge on the subtotal", adjust(kSubtotalAdjustment, kPercentSurcharge, 1000), 0, 0,
       kPrinterFiscalReceipt},
      {"two message lines from one text", lines(kMessage, "Thank you\nCome again\n"), 0, 0,
       kPrinterFiscalReceipt},
      {"a message line too long", lines(kMessage, std::string(41, 'x')), OPOS_E_ILLEGAL, 0,
       kPrinterFiscalReceipt},
      {"not paid beyond the total", Op(kNotPaid, "Credit", 1101), 114, OPOS_EFPTR_BAD_ITEM_AMOUNT,
       kPrinterFiscalReceipt},
      {"total that differs", wrongTotal, 114, OPOS_EFPTR_BAD_ITEM_AMOUNT, kPrinterFiscalReceipt},
      {"part payment", partPayment, 0, 0, kPrinterFiscalReceiptTotal},
      {"item after a payment", Op(kItem, "Pen", 100, 1), 114, OPOS_EFPTR_WRONG_STATE,
       kPrinterFiscalReceiptTotal},
      {"the rest not paid", Op(kNotPaid, "Credit", 500), 0, 0, kPrinterFiscalReceiptEnding},
      {"void after full payment", Op(kVoidReceipt), 114, OPOS_EFPTR_WRONG_STATE,
       kPrinterFiscalReceiptEnding},
      {"end", Op(kCloseReceipt), 0, 0, kPrinterMonitor},
      {"non-fiscal", flag(kNonFiscal, 1), 0, 0, kPrinterNonFiscal},
      {"a line on the slip", lines(kPrintLine, "x", 4), OPOS_E_ILLEGAL, 0, kPrinterNonFiscal},
      {"lines on the journal", lines(kPrintLine, "a\nb", kStationJournal), 0, 0, kPrinterNonFiscal},
      {"end non-fiscal", flag(kNonFiscal, 0), 0, 0, kPrinterMonitor},
  };
  Sides sides;
  for (const Step& step : steps) {
    std::string why;
    const Outcome o = sides.Run(step.op, &why);
    EXPECT_EQ("", why) << step.what;
    EXPECT_EQ(step.code, o.code) << step.what;
    EXPECT_EQ(step.extended, o.extended) << step.what;
    EXPECT_EQ(step.stateAfter, sides.Model().PrinterState()) << step.what;
  }
  sides.CheckDay();
}

// A shopper that tries everything, mostly in an order that makes sense.
class Shopper {
 public:
  explicit Shopper(uint32_t seed) : random_(seed) {}

  Operation Next(const kso::ReceiptModel& model) {
    const DocumentState state = model.Document().State();
    if (state == kDocIdle) sold_.clear();
    static const char kInReceipt[] = "AAAAAJJWWRMCUNPPVz";
    static const char kAny[] = "OAJWRMCUNPVKbLTz";
    char code;
    if (Chance(15)) {
      code = Pick(kAny);
    } else if (state == kDocIdle) {
      code = Chance(10) ? 'T' : Chance(10) ? 'b' : 'O';
    } else if (state == kDocNonFiscal) {
      code = Chance(70) ? 'L' : 'b';
    } else if (state == kDocReceiptEnding) {
      code = Chance(30) ? 'M' : 'K';
    } else if (state == kDocReceiptTotal) {
      code = Chance(60) ? 'P' : Chance(50) ? 'N' : 'V';
    } else {
      code = Pick(kInReceipt);
    }
    Operation op;
    op.code = code;
    op.text = Description();
    op.amount = Amount();
    op.vat = Chance(5) ? Range(0, 5) : Range(1, kVatRates);
    op.flag = code == 'L' ? (Chance(10) ? 4 : Range(1, 3)) : (Chance(5) ? 2 : Range(0, 1));
    if (code == 'b') op.flag = state == kDocNonFiscal ? 0 : 1;
    switch (code) {
      case kItem:
        op.quantity = Pick<int64_t>({0, 0, 1000, 1500, 333, 2000, -1, 1000000000});
        op.unitPrice = Chance(30) ? Amount() : 0;
        if (op.unitPrice) op.amount = Chance(70) ? 0 : op.amount;
        op.unitName = Pick<std::string>({"", "kg", "pcs", "too long unit"});
        break;
      case kItemAdjustment:
      case kSubtotalAdjustment:
        op.type = Chance(5) ? Range(0, 5) : Range(1, 4);
        if (fiscal::IsPercent(op.type)) op.amount = Chance(5) ? 10001 : Range(0, 10000);
        if (code == kItemAdjustment && Chance(70)) op.vat = 0;
        break;
      case kVoidItem:
        if (!sold_.empty() && Chance(70)) {
          const Operation& s = sold_[Range(0, static_cast<int64_t>(sold_.size()) - 1)];
          op.text = s.text;
          op.amount = fiscal::LineValue(s.amount, s.quantity, s.unitPrice);
          op.vat = s.vat;
          op.quantity = Chance(50) ? s.quantity : 0;
        }
        op.type = Chance(80) ? 0 : Range(1, 4);
        op.adjustment = fiscal::IsPercent(op.type) ? Range(0, 10000) : Range(0, 300);
        break;
      case kMessage:
      case kPrintLine:
        op.lines = fiscal::SplitLines(Pick<std::string>(
            {"Thank you", "two\nlines\n", "a\r\nb", "", std::string(40, '='), std::string(41, '='),
             "bad\tline", "\x85 ellipsis", std::string(3, '\n'),
             std::string(40, 'a') + "\n" + std::string(40, 'b') + "\n" + std::string(40, 'c')}));
        break;
      case kPayment:
        op.total = Chance(40) ? fiscal::kNoTotal : Chance(80) ? model.Subtotal() : Amount();
        if (Chance(50)) op.amount = std::max<int64_t>(0, model.Due() + Range(-200, 200));
        break;
      case kNotPaid:
        if (Chance(50)) op.amount = std::max<int64_t>(0, model.Due() - Range(0, 100));
        break;
      default:
        break;
    }
    if (std::string("MCKbLTzO").find(code) != std::string::npos) op.text.clear();  // no text field
    return op;
  }

  // What the model accepted: items are remembered for voids.
  void Accepted(const Operation& op) {
    if (op.code == kItem) sold_.push_back(op);
  }

 private:
  bool Chance(int percent) { return static_cast<int>(random_() % 100) < percent; }
  int64_t Range(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(random_() % static_cast<uint32_t>(high - low + 1));
  }
  template <typename T>
  T Pick(std::initializer_list<T> values) {
    return *(values.begin() + Range(0, static_cast<int64_t>(values.size()) - 1));
  }
  char Pick(const char* codes) { return codes[Range(0, static_cast<int64_t>(strlen(codes)) - 1)]; }
  std::string Description() {
    return Pick<std::string>({"Bread", "Milk", "Soap", "", "Grand total", "Caff\xE8",
                              std::string(24, 'd'), std::string(25, 'd'),
                              "a\x01"
                              "b",
                              "x|y", "c1\x90"});
  }
  int64_t Amount() {
    if (Chance(3)) return Pick<int64_t>({-1, kMaxAmount, kMaxAmount + 1});
    return Chance(10) ? 0 : Range(1, 2000);
  }

  std::mt19937 random_;
  std::vector<Operation> sold_;
};

TEST(ReceiptDifferential, RandomCallSequencesGetTheSameAnswersFromModelAndPrinter) {
  const char* env = std::getenv("KERUNEL_DIFF_SEQUENCES");
  const int sequences = env ? std::atoi(env) : 400;
  int accepted = 0, refused = 0;
  for (int seed = 1; seed <= sequences; ++seed) {
    Sides sides;
    Shopper shopper(static_cast<uint32_t>(seed));
    std::string trail;
    for (int step = 0; step < 60; ++step) {
      const Operation op = shopper.Next(sides.Model());
      trail += Show(op) + "\n";
      std::string why;
      const Outcome o = sides.Run(op, &why);
      ASSERT_EQ("", why) << "sequence " << seed << ", step " << step << ":\n" << trail;
      if (o) {
        shopper.Accepted(op);
        ++accepted;
      } else {
        ++refused;
      }
    }
    sides.CheckDay();
    if (HasFailure()) FAIL() << "sequence " << seed << ":\n" << trail;
  }
  // The sequences reach both sides of the rules.
  EXPECT_GT(accepted, sequences * 15);
  EXPECT_GT(refused, sequences * 5);
}

}  // namespace
