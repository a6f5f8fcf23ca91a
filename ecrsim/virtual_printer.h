// A virtual fiscal printer: executes the Kerunel ECR command set
// (fiscal/ecr_commands.h, docs/ecr-commands.md) the way a fiscal ECR
// does. Its documents run on the fiscal core's state machine
// (fiscal/document.h), the same one the Service Object models the printer
// with; around it the printer keeps receipt and Z numbers, the day's
// totals, a fiscal memory of Z reports, its clock, header and trailer
// lines. Everything it prints goes onto a paper roll kept in memory and,
// when a journal file is named, is appended to that file line by line.
//
// Every command passes through Execute, which finds the command's handler
// in one table: document operations are parsed by the core's field layout,
// carried out by the core, then printed; reports, presettings and queries
// have handlers of their own.
//
// With a memory file its fiscal memory survives a restart or a power cut:
// every command that changes anything is on the disk (flushed) before its
// answer goes out, as one record that is either whole or, cut short,
// ignored when the printer starts again (record_file.h). A printer made
// from an existing memory file is a printer whose power came back: a
// document that was open is cancelled (a fiscal receipt counts, with a
// line on the journal) and the power cut is counted for the power-loss
// report. Without a memory file it forgets everything when it goes.
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

#include "document.h"
#include "ecr_commands.h"
#include "operation.h"
#include "record_file.h"

namespace ecrsim {

// The fiscal memory's size in Z reports.
constexpr size_t kFiscalMemoryRecords = 1825;

class VirtualPrinter {
 public:
  // journalPath empty: the paper roll stays in memory only. memoryPath
  // empty: no fiscal memory on the disk; else it is read (created when
  // missing) and kept up to date.
  explicit VirtualPrinter(const std::string& journalPath = "", const std::string& memoryPath = "");

  // The memory file beside a journal: the journal's path with ".fiscal".
  static std::string MemoryPathFor(const std::string& journalPath);
  // Empty, or why the memory file could not be read or written; the printer
  // then refuses every command that would change it (error 11).
  std::string MemoryError() const;
  // The power goes: the printer finishes the command it is at, then
  // answers nothing more and writes nothing more.
  void PowerCut();
  // The power comes back to a printer whose power was cut. With a memory
  // file it goes on as a printer made from that file would (what it holds
  // is what the file holds): a document that was open is cancelled and
  // the cut counted. Without one it has lost nothing, as if its memory were
  // perfect, and goes on where it stopped.
  void PowerOn();

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
  // How many Z reports the fiscal memory holds (a small one fills up soon).
  void SetFiscalMemorySize(size_t records);

  // --- What it printed and holds ---
  // The receipt roll since construction, or its last 256 KB once longer.
  std::string Paper() const;
  size_t PaperSize() const;  // all it printed, for PaperSince
  std::string PaperSince(size_t offset) const;
  int ReceiptNumber() const;  // last fiscal receipt of the day
  int ZNumber() const;        // last Z report
  int64_t DailyNet() const;   // cents sold today
  int64_t GrandTotal() const;
  bool DayOpen() const;
  ecrcmd::DocumentState Document() const;
  size_t FiscalRecords() const;
  int PowerCuts() const;  // since the last Z report

 private:
  using Fields = std::vector<std::string>;

  struct ZRecord {
    int number;
    std::time_t when;
    int receipts;
    fiscal::PerRate net;
    int64_t total;
  };

  // One command: what it needs and who carries it out.
  enum Needs : unsigned {
    kPrints = 1,  // refused while the cover is open or paper is out
    kIdle = 2,    // only with no document open
  };
  using DocumentPrint = Fields (VirtualPrinter::*)(const fiscal::Operation&, const fiscal::Effect&,
                                                   const fiscal::Document& before);
  using Run = Fields (VirtualPrinter::*)(char code, const Fields&, uint8_t* error);
  struct Handler {
    char code;
    unsigned needs;
    DocumentPrint printed;  // document operations: after the core carried them out
    Run run;                // everything else
  };
  static const Handler kHandlers[];

  // Document operations, printed once the core has accepted them; each
  // returns the answer's fields.
  Fields Opened(const fiscal::Operation& op, const fiscal::Effect& e, const fiscal::Document& b);
  Fields ItemPrinted(const fiscal::Operation& op, const fiscal::Effect& e,
                     const fiscal::Document& b);
  Fields AdjustmentPrinted(const fiscal::Operation& op, const fiscal::Effect& e,
                           const fiscal::Document& b);
  Fields VoidPrinted(const fiscal::Operation& op, const fiscal::Effect& e,
                     const fiscal::Document& b);
  Fields RefundPrinted(const fiscal::Operation& op, const fiscal::Effect& e,
                       const fiscal::Document& b);
  Fields LinesPrinted(const fiscal::Operation& op, const fiscal::Effect& e,
                      const fiscal::Document& b);
  Fields SubtotalPrinted(const fiscal::Operation& op, const fiscal::Effect& e,
                         const fiscal::Document& b);
  Fields PaymentPrinted(const fiscal::Operation& op, const fiscal::Effect& e,
                        const fiscal::Document& b);
  Fields VoidedPrinted(const fiscal::Operation& op, const fiscal::Effect& e,
                       const fiscal::Document& b);
  Fields Closed(const fiscal::Operation& op, const fiscal::Effect& e, const fiscal::Document& b);
  Fields NonFiscalPrinted(const fiscal::Operation& op, const fiscal::Effect& e,
                          const fiscal::Document& b);
  Fields TrainingPrinted(const fiscal::Operation& op, const fiscal::Effect& e,
                         const fiscal::Document& b);
  Fields Cancelled(const fiscal::Operation& op, const fiscal::Effect& e, const fiscal::Document& b);

  // The other commands: each returns the answer's fields, or sets *error.
  Fields Duplicate(char code, const Fields& f, uint8_t* error);
  Fields XReport(char code, const Fields& f, uint8_t* error);
  Fields ZReport(char code, const Fields& f, uint8_t* error);
  Fields FiscalMemoryReport(char code, const Fields& f, uint8_t* error);
  Fields PowerLossReport(char code, const Fields& f, uint8_t* error);
  Fields SetDate(char code, const Fields& f, uint8_t* error);
  Fields SetHeaderOrTrailer(char code, const Fields& f, uint8_t* error);
  Fields SetVatTable(char code, const Fields& f, uint8_t* error);
  Fields SetPosId(char code, const Fields& f, uint8_t* error);
  Fields SetStoreId(char code, const Fields& f, uint8_t* error);
  Fields Status(char code, const Fields& f, uint8_t* error);
  Fields Clock(char code, const Fields& f, uint8_t* error);
  Fields Data(char code, const Fields& f, uint8_t* error);
  Fields Totalizer(char code, const Fields& f, uint8_t* error);
  Fields VatRate(char code, const Fields& f, uint8_t* error);
  Fields Sync(char code, const Fields& f, uint8_t* error);

  // Executes an unnumbered command: the answer message.
  std::string Perform(const std::string& command);
  const Handler* Find(char code) const;
  // The fiscal memory on the disk.
  void LoadMemory();
  void CancelAtPowerOn(ecrcmd::DocumentState document, bool training, int64_t subtotal);
  // Appends the state after a command (with a new Z report when there is
  // one); false when the disk refused it.
  bool SaveMemory();
  bool RewriteMemory();
  std::string StateRecord(char kind);
  template <typename Archive>
  void Persist(Archive& a);
  uint8_t Fault() const;  // the error a printing command gets now, or 0
  bool FiscalMemoryFull() const;
  int Flags() const;
  std::time_t Now() const;
  std::string DateText(std::time_t t, bool withTime) const;

  // Paper. Lines for the receipt station also go onto the journal.
  void Print(const std::string& line, int station = ecrcmd::kStationReceipt);
  void PrintAmount(const std::string& label, int64_t cents, int vat = 0);
  void PrintCentered(const std::string& text, bool doubleWidth = false);
  void PrintRule(char c = '-');
  void PrintHeader();
  void PrintTotalsReport(const fiscal::Totals& t);

  mutable std::mutex mu_;
  std::ofstream journal_;
  // The receipt roll's last stretch (the journal file keeps it all): at
  // least kPaperKept bytes, and paperDropped_ bytes before them gone.
  static constexpr size_t kPaperKept = 256 * 1024;
  std::string paper_;
  size_t paperDropped_ = 0;

  // Faults.
  bool paperOut_ = false, nearEnd_ = false, journalEmpty_ = false, coverOpen_ = false;
  int busy_ = 0;

  // Settings.
  std::array<std::pair<std::string, bool>, ecrcmd::kHeaderLines> header_;
  std::array<std::pair<std::string, bool>, ecrcmd::kTrailerLines> trailer_;
  std::array<int, ecrcmd::kVatRates> rates_{{2200, 1000, 400, 0}};
  std::string posId_ = "1", cashier_ = "1", storeId_;
  long long clockOffset_ = 0;  // seconds added to the host's clock
  size_t fiscalMemorySize_ = kFiscalMemoryRecords;

  // Fiscal state.
  fiscal::Document doc_;
  bool totalPrinted_ = false;              // the open receipt's total line
  bool recording_ = false;                 // the open receipt's lines go to receiptLines_
  std::vector<std::string> receiptLines_;  // of the open receipt
  std::vector<std::string> lastReceipt_;   // for a duplicate
  bool dayOpen_ = false;
  fiscal::Totals day_;
  int receiptNumber_ = 0;
  int zNumber_ = 0;
  int64_t grandTotal_ = 0;
  std::vector<ZRecord> fiscalMemory_;
  // The numbered command executed last and its answer, as sent: part of
  // the fiscal memory, saved and restored with the rest of it, so that a
  // command repeated after a power cut still runs only once.
  int64_t lastNumber_ = 0;
  std::string lastAnswer_;

  // Power cuts since the last Z report, for the power-loss report.
  int powerCuts_ = 0;
  int64_t lastPowerOn_ = 0;
  int cancelledReceipts_ = 0;
  int64_t cancelledValue_ = 0;

  // The fiscal memory file.
  std::string memoryPath_;
  RecordFile memory_;
  std::string memoryError_;
  bool newZ_ = false;        // the command just done wrote a Z report
  bool poweredOff_ = false;  // PowerCut: nothing more is answered or written
  // The open document as saved and read back (the live one is doc_).
  int savedDocument_ = 0;
  int64_t savedSubtotal_ = 0;
  bool savedTraining_ = false;
};

}  // namespace ecrsim
