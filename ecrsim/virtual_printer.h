// A virtual fiscal printer: executes the Kerunel ECR command set
// (fiscal/ecr_commands.h, docs/ecr-commands.md) the way a fiscal ECR
// does. It keeps the receipt in progress with its running totals per VAT
// rate, receipt and Z numbers, the day's totals, a fiscal memory of Z
// reports, its clock, header and trailer lines; everything it prints goes
// onto a paper roll kept in memory and, when a journal file is named,
// appended to that file line by line.
//
// The simulator hands it every command that no script rule answers
// (Simulator::AttachPrinter). Faults set on it (paper out, cover open,
// busy) make it refuse commands with the ECR's error answers. It is used
// from the simulator's thread and from the test's thread: every member
// takes its lock. No Windows headers.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "ecr_commands.h"

namespace ecrsim {

class VirtualPrinter {
 public:
  // journalPath empty: the paper roll stays in memory only.
  explicit VirtualPrinter(const std::string& journalPath = "");

  // Executes one command message and returns the answer message. A
  // numbered command that is not a query runs at most once (see
  // ecr_commands.h): its repeat gets the kept answer.
  std::string Execute(const std::string& message);

  // --- Faults ---
  void SetReceiptPaperOut(bool out);
  void SetReceiptNearEnd(bool nearEnd);
  void SetJournalEmpty(bool empty);
  void SetCoverOpen(bool open);
  // The next `commands` commands are refused as busy.
  void SetBusy(int commands);

  // --- What it printed and holds ---
  std::string Paper() const;  // the whole roll since construction
  size_t PaperSize() const;   // for PaperSince
  std::string PaperSince(size_t offset) const;
  int ReceiptNumber() const;  // last fiscal receipt of the day
  int ZNumber() const;        // last Z report
  int64_t DailyNet() const;   // cents sold today
  int64_t GrandTotal() const;
  bool DayOpen() const;
  ecrcmd::DocumentState Document() const;
  size_t FiscalRecords() const;

 private:
  using Amounts = std::array<int64_t, ecrcmd::kVatRates>;

  // Totals of a day, per VAT rate where they can be.
  struct Totals {
    Amounts items{}, surcharges{}, discounts{}, itemVoids{}, refunds{};
    int64_t notPaid = 0;
    int64_t voidedReceipts = 0;  // value of the receipts voided whole
    int receipts = 0;
    int64_t Net(int vat) const;
    int64_t Net() const;
  };

  struct Receipt {
    Totals totals;  // receipts = 0
    int64_t paid = 0;
    int64_t lastItem = 0;  // amount of the last item, for item adjustments
    int lastVat = 0;       // 1-based; 0: no item yet
    bool totalPrinted = false;
    bool voided = false;
    std::vector<std::string> lines;  // for a duplicate
  };

  struct ZRecord {
    int number;
    std::time_t when;
    int receipts;
    Amounts net;
    int64_t total;
  };

  using Fields = std::vector<std::string>;

  // Executes an unnumbered command: the answer message.
  std::string Perform(const std::string& command);
  // Each returns the answer's fields after the flags, or sets *error.
  std::string Run(char code, const Fields& f, uint8_t* error);
  Fields OpenReceipt(const Fields& f, uint8_t* error);
  Fields Item(const Fields& f, uint8_t* error);
  Fields ItemAdjustment(const Fields& f, uint8_t* error);
  Fields VoidItem(const Fields& f, uint8_t* error);
  Fields Refund(const Fields& f, uint8_t* error);
  Fields SubtotalAdjustment(const Fields& f, uint8_t* error);
  Fields Pay(const Fields& f, bool notPaid, uint8_t* error);
  Fields CloseReceipt(uint8_t* error);
  Fields ZReport(uint8_t* error);
  Fields Report(char code, const Fields& f, uint8_t* error);
  Fields Preset(char code, const Fields& f, uint8_t* error);
  Fields Query(char code, const Fields& f, uint8_t* error);

  int Flags() const;
  bool InReceipt() const;
  int64_t Subtotal() const { return receipt_.totals.Net(); }
  std::time_t Now() const;
  std::string DateText(std::time_t t, bool withTime) const;

  // Paper.
  void Print(const std::string& line);
  void PrintAmount(const std::string& label, int64_t cents, int vat = 0);
  void PrintCentered(const std::string& text, bool doubleWidth = false);
  void PrintRule(char c = '-');
  void PrintHeader();
  void PrintTotalsReport(const Totals& t);

  mutable std::mutex mu_;
  std::ofstream journal_;
  std::string paper_;

  // Faults.
  bool paperOut_ = false, nearEnd_ = false, journalEmpty_ = false, coverOpen_ = false;
  int busy_ = 0;

  // Settings.
  std::array<std::pair<std::string, bool>, ecrcmd::kHeaderLines> header_;
  std::array<std::pair<std::string, bool>, ecrcmd::kTrailerLines> trailer_;
  std::array<int, ecrcmd::kVatRates> rates_{{2200, 1000, 400, 0}};
  std::string posId_ = "1", cashier_ = "1", storeId_;
  long long clockOffset_ = 0;  // seconds added to the host's clock

  // Fiscal state.
  ecrcmd::DocumentState doc_ = ecrcmd::kDocIdle;
  bool training_ = false;
  bool dayOpen_ = false;
  Receipt receipt_;
  std::vector<std::string> lastReceipt_;
  Totals day_;
  int receiptNumber_ = 0;
  int zNumber_ = 0;
  int64_t grandTotal_ = 0;
  std::vector<ZRecord> fiscalMemory_;
  // The numbered command executed last and its answer, as sent: part of
  // the fiscal memory, saved and restored with the rest of it, so that a
  // command repeated after a power cut still runs only once.
  int64_t lastNumber_ = 0;
  std::string lastAnswer_;
};

// The fiscal memory's size in Z reports.
constexpr size_t kFiscalMemoryRecords = 1825;

}  // namespace ecrsim
