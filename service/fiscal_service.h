// The reference Service Object's behaviour: an OPOS fiscal printer over a
// link driver. The COM layer (service_object.cpp) unpacks each of the 61
// service methods and calls the member of the same name here, on the
// Service Object's own thread (service_thread.h): everything here runs on
// that thread but the four members marked for the application's thread.
//
// Device life: OpenService reads the device key (LinkDriver, Link) and
// loads the driver; Claim takes a machine-wide claim on the device name
// (with a time-out; device_claim.h); enabling opens the link (OpenProt) and
// reads the printer's state; disabling and Release close it again.
//
// Printing: every operation is checked against the receipt model and sent
// as one ECR command (ecr_commands.h), at most once. In synchronous mode
// the call returns the ECR's result. In asynchronous mode the call is
// checked, queued and answered at once; the queue runs on the Service
// Object's thread, whatever the application's thread does, and each job
// ends with an OutputCompleteEvent or an ErrorEvent whose answer (retry,
// clear) decides what comes next.
//
// Events go through the control's callbacks on the application's thread
// (event_relay.h), held while FreezeEvents is set or the container has
// frozen the control's events.
//
// The link driver pumps the thread's messages while it waits, so a call of
// the application may be carried out within a running transaction: a
// second ECR transaction is refused with OPOS_E_BUSY.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <oaidl.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "device_claim.h"
#include "ecr_commands.h"
#include "ecr_link.h"
#include "event_relay.h"
#include "receipt_model.h"
#include "service_log.h"
#include "service_thread.h"
#include "win_raii.h"

namespace kso {

// Texts between the application (UTF-16) and the ECR (code page 1252);
// characters the code page lacks become '?', C1 controls DEL (which the
// text checks refuse like any control character).
std::string ToEcrText(const wchar_t* text, size_t length);
std::wstring FromEcrText(const std::string& text);

class FiscalService {
 public:
  // owner is AddRef'd around each event delivered, so that a handler that
  // releases the Service Object cannot free it under the delivery.
  explicit FiscalService(IUnknown* owner);
  // Closes the device on its thread and ends the thread.
  ~FiscalService();
  FiscalService(const FiscalService&) = delete;
  FiscalService& operator=(const FiscalService&) = delete;

  // --- On the application's thread ---
  // Carries out call on the Service Object's thread (started by the first
  // one), then delivers the events it raised; false when the thread cannot
  // run.
  bool OnServiceThread(const std::function<void()>& call);
  // Events go to control's callbacks on this thread (at OpenService).
  void BindControl(IDispatch* control);
  // After Close (or a failed OpenService): no more events, the thread ends.
  void AfterClose();

  // Each method returns its OPOS result code and leaves it, with the
  // extended code, in ResultCode and ResultCodeExtended.

  // --- Session and common methods ---
  long OpenService(const std::wstring& deviceClass, const std::wstring& deviceName,
                   IDispatch* control);
  long Close();
  long Claim(long timeoutMs);
  long Release();
  long CheckHealth(long level);
  long DirectIO(long command, long* data, BSTR* text);
  long COFreezeEvents(bool freeze);
  long ClearOutput();
  long ClearError();
  long ResetPrinter();

  // --- Properties ---
  long GetPropertyNumber(long index);
  void SetPropertyNumber(long index, long value);
  std::wstring GetPropertyString(long index);
  void SetPropertyString(long index);  // no string property is writable

  // --- Presettings ---
  long SetDate(const std::string& date);
  long SetHeaderLine(long line, const std::string& text, bool doubleWidth);
  long SetTrailerLine(long line, const std::string& text, bool doubleWidth);
  long SetPOSID(const std::string& posId, const std::string& cashierId);
  long SetStoreFiscalID(const std::string& id);
  long SetVatValue(long vatId, const std::string& value);
  long SetVatTable();

  // --- Fiscal receipt (amounts as OPOS currency: value x 10000) ---
  long BeginFiscalReceipt(bool printHeader);
  long EndFiscalReceipt(bool printHeader);
  long PrintDuplicateReceipt();
  long PrintRecItem(const std::string& description, int64_t price, long quantity, long vatInfo,
                    int64_t unitPrice, const std::string& unitName);
  long PrintRecItemAdjustment(long type, const std::string& description, int64_t amount,
                              long vatInfo);
  long PrintRecMessage(const std::string& message);
  long PrintRecNotPaid(const std::string& description, int64_t amount);
  long PrintRecRefund(const std::string& description, int64_t amount, long vatInfo);
  long PrintRecSubtotal(int64_t amount);
  long PrintRecSubtotalAdjustment(long type, const std::string& description, int64_t amount);
  long PrintRecTotal(int64_t total, int64_t payment, const std::string& description);
  long PrintRecVoid(const std::string& description);
  long PrintRecVoidItem(const std::string& description, int64_t amount, long quantity,
                        long adjustmentType, int64_t adjustment, long vatInfo);

  // --- Reports, non-fiscal printing, training ---
  long PrintPeriodicTotalsReport(const std::string& date1, const std::string& date2);
  long PrintPowerLossReport();
  long PrintReport(long reportType, const std::string& start, const std::string& end);
  long PrintXReport();
  long PrintZReport();
  long BeginNonFiscal();
  long PrintNormal(long station, const std::string& data);
  long EndNonFiscal();
  long BeginTraining();
  long EndTraining();

  // --- Data requests ---
  long GetData(long item, long* optArgs, BSTR* data);
  long GetDate(BSTR* date);
  long GetTotalizer(long vatId, long optArgs, BSTR* data);
  long GetVatEntry(long vatId, long optArgs, long* vatRate);

  // The slip, item list, fixed output and fiscal document methods: this
  // printer has none of them.
  long Unsupported();

  // The messages of the Service Object's thread.
  void OnWindowMessage(UINT message, WPARAM wParam, LPARAM lParam);

  // The device's protocol log, for the Service Object's own lines.
  ServiceLog& log() { return log_; }

 private:
  struct Job {
    std::string command;
    long outputId;
    long stateBefore;  // the printer state the job was queued in
  };

  // Results.
  long Done(Outcome o);
  long Done(long code) { return Done(Outcome{code, 0}); }
  // A device error into ErrorLevel, ErrorStation and ErrorState.
  void NoteError(const Outcome& o, long printerState);
  // PrinterState as the application reads it.
  long CurrentPrinterState() const;
  // The free Z records the ECR reported, and those a Z report's answer
  // leaves (RemainingFiscalMemory follows the memory).
  void TakeFreeRecords(int64_t free);
  void TakeZAnswer(char code, const ecrcmd::Answer& answer);
  // The fiscal memory is full or cannot be written: no fiscal work.
  bool Locked() const;
  // A fiscal receipt or a Z report: Ok, or why the locked printer refuses it.
  Outcome FiscalWorkAllowed() const;
  // The result of an ECR that cannot be reached.
  Outcome Unreachable() const;
  // Claimed and enabled, or the result that says why not.
  Outcome Ready() const;

  // The one path of every document operation: ready, check, the model's
  // step, the command, printed by Print.
  long Perform(const fiscal::Operation& op, Outcome check = Ok());
  // Printing: queued (asynchronous) or sent at once; next becomes the model
  // once the operation is accepted.
  long Print(const std::string& command, const ReceiptModel& next);
  // A presetting, sent at once in the Monitor state when check passes.
  long Setting(const std::string& command, Outcome check);
  // One command and its answer, carried out at most once (numbered, unless
  // raw). Returns Ok, the ECR's refusal, BUSY during another transaction,
  // NOHARDWARE when it certainly did not reach the ECR, or TIMEOUT when it
  // may have: then its outcome is settled before any other command, and
  // the same command sent again keeps its number.
  Outcome Transact(const std::string& command, ecrcmd::Answer* answer, bool raw = false);
  // Sends message (numbered `number`, 0: raw) until its own answer comes:
  // over the open link, and after a lost answer or link once more over a
  // new one. Results as Transact's.
  Outcome SendUntilAnswered(const std::string& command, int64_t number, ecrcmd::Answer* answer);
  // Learns from the ECR whether the unsettled command was carried out.
  Outcome Settle();
  // This command's answer with a field that is not valid (why): a query
  // fails with OPOS_E_FAILURE and KSO_EXTENDED_BAD_ANSWER; any other command
  // was carried out, and stands, with nothing of its answer used.
  Outcome BadAnswer(const std::string& command, const std::string& why, ecrcmd::Answer* answer);
  // A synchronous query, refused while asynchronous output is pending.
  Outcome Query(const std::string& command, ecrcmd::Answer* answer);
  // Opens the link when it is closed and reads where the ECR stands (kSync).
  Outcome Connect();
  void LinkLost();
  // What a kSync answer tells: the command numbers, the fiscal memory, and
  // the fate of an unsettled command; the model follows unless output is
  // still queued.
  void TakeSync(const ecrcmd::SyncState& sync);
  // Reads the printer's document state into the model.
  Outcome Resync();
  // After a new link or a refusal for the state: the model is rebuilt from
  // the printer's word, once nothing else is queued.
  void FollowPrinter();
  void UpdateFlags(int flags);
  void SetPower(bool online);

  long Enable();
  void Disable();
  void ClearQueue();
  void PostRun();
  void RunQueue();

  // Events, for the application's thread.
  void Fire(EventRelay::Event::Kind kind, long value, long extended = 0);
  // The application's answer to the error event numbered serial.
  void OnErrorAnswered(long serial, long response);

  EventRelay relay_;
  ServiceThread thread_;
  bool runPosted_ = false;

  // Configuration.
  std::wstring deviceName_;
  std::wstring driverName_;
  std::string linkSettings_;
  DWORD answerLimitMs_ = 0;  // AnswerTimeout: longest silence of the ECR
  DWORD reportLimitMs_ = 0;  // ReportTimeout: the same while it prints a report
  ServiceLog log_;
  EcrLink link_{log_};

  // Common state.
  bool open_ = false;
  bool claimed_ = false;
  DeviceClaim claim_;
  bool claiming_ = false;
  bool enabled_ = false;
  bool enabling_ = false;
  bool freezeEvents_ = false;
  long resultCode_ = 0, resultCodeExtended_ = 0;
  long binaryConversion_ = 0;
  long powerNotify_ = 0;
  bool powerOnline_ = false;
  std::wstring checkHealthText_;
  std::string errorString_;

  // Exactly once. A command whose answer was lost and could not be had
  // again stays unsettled: the next call learns its fate first, and the
  // same command sent again reuses its number, so the ECR runs it once.
  struct Unsettled {
    enum State { kNone, kUnknown, kDone, kNotDone } state = kNone;
    std::string command;  // unnumbered
    int64_t number = 0;
  };
  int64_t lastNumber_ = 0;  // the highest command number used or seen
  Unsettled unsettled_;
  bool resyncDue_ = false;  // a new link or a wrong-state refusal: rebuild the model

  // Fiscal state.
  ReceiptModel model_;
  int flags_ = 0;  // the ECR's status flags as last answered
  long remainingFiscalMemory_ = 0;
  bool memoryFull_ = false;  // the ECR reported no free Z record
  bool asyncMode_ = false, checkTotal_ = true, duplicateReceipt_ = false, flagWhenIdle_ = false;
  long vatPending_[ecrcmd::kVatRates] = {-1, -1, -1, -1};  // SetVatValue, for SetVatTable

  // Asynchronous output and events.
  std::deque<Job> queue_;
  long lastOutputId_ = 0, outputId_ = 0;
  bool running_ = false, inTransaction_ = false, errorPending_ = false;
  bool reporting_ = false;  // a report is being printed: PrinterState reads Report
  long errorOutId_ = 0, errorState_ = 1, errorLevel_ = 1, errorStation_ = 0;
  long errorSerial_ = 0;   // the error event whose answer is awaited
  long clears_ = 0;        // output cleared so far (ClearOutput, errors answered with clear)
  bool clearing_ = false;  // output cleared on the application's answer: the model is read back
};

}  // namespace kso
