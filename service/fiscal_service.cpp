// FiscalService: texts, results, the session and the properties.
#include "fiscal_service.h"

#include <algorithm>
#include <cwchar>

#include "fiscal_service_internal.h"
#include "opos.h"

namespace kso {

using namespace opos;
namespace cmd = ecrcmd;

namespace {

constexpr wchar_t kClassKey[] = L"SOFTWARE\\OLEforRetail\\ServiceOPOS\\Kerunel\\";
constexpr UINT kCodePage = 1252;  // the ECR's 8-bit texts
constexpr long kDirectIoRaw = 1;  // DirectIO command: one raw ECR command
constexpr long kServiceVersion = EncodeVersion(1, 3, 1);
constexpr DWORD kDefaultAnswerLimitMs = 30000;
constexpr DWORD kDefaultReportLimitMs = 120000;

// Capabilities, by property index.
struct Capability {
  long index;
  bool value;
};
constexpr Capability kCapabilities[] = {
    {PIDX_CapAdditionalLines, true},
    {PIDX_CapAmountAdjustment, true},
    {PIDX_CapAmountNotPaid, true},
    {PIDX_CapCheckTotal, true},
    {PIDX_CapCoverSensor, true},
    {PIDX_CapDoubleWidth, true},
    {PIDX_CapDuplicateReceipt, true},
    {PIDX_CapFixedOutput, false},
    {PIDX_CapHasVatTable, true},
    {PIDX_CapIndependentHeader, false},
    {PIDX_CapItemList, false},
    {PIDX_CapJrnEmptySensor, true},
    {PIDX_CapJrnNearEndSensor, true},
    {PIDX_CapJrnPresent, true},
    {PIDX_CapNonFiscalMode, true},
    {PIDX_CapOrderAdjustmentFirst, false},
    {PIDX_CapPercentAdjustment, true},
    {PIDX_CapPositiveAdjustment, true},
    {PIDX_CapPowerLossReport, true},
    {PIDX_CapPredefinedPaymentLines, false},
    {PIDX_CapReceiptNotPaid, true},
    {PIDX_CapRecEmptySensor, true},
    {PIDX_CapRecNearEndSensor, true},
    {PIDX_CapRecPresent, true},
    {PIDX_CapRemainingFiscalMemory, true},
    {PIDX_CapReservedWord, true},
    {PIDX_CapSetHeader, true},
    {PIDX_CapSetPOSID, true},
    {PIDX_CapSetStoreFiscalID, true},
    {PIDX_CapSetTrailer, true},
    {PIDX_CapSetVatTable, true},
    {PIDX_CapSlpEmptySensor, false},
    {PIDX_CapSlpFiscalDocument, false},
    {PIDX_CapSlpFullSlip, false},
    {PIDX_CapSlpNearEndSensor, false},
    {PIDX_CapSlpPresent, false},
    {PIDX_CapSlpValidation, false},
    {PIDX_CapSubAmountAdjustment, true},
    {PIDX_CapSubPercentAdjustment, true},
    {PIDX_CapSubtotal, true},
    {PIDX_CapTrainingMode, true},
    {PIDX_CapValidateJournal, false},
    {PIDX_CapXReport, true},
};

// A registry string under HKLM; empty when missing.
std::wstring ReadValue(HKEY key, const wchar_t* name) {
  wchar_t buffer[512];
  DWORD bytes = sizeof buffer;
  if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer, &bytes) != ERROR_SUCCESS) {
    return L"";
  }
  return buffer;
}

// A time in milliseconds, as a number (REG_DWORD) or as decimal text;
// fallback when absent, 0, or not a number.
DWORD ReadMilliseconds(HKEY key, const wchar_t* name, DWORD fallback) {
  DWORD value = 0, bytes = sizeof value;
  if (RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) ==
      ERROR_SUCCESS) {
    return value > 0 ? value : fallback;
  }
  const std::wstring text = ReadValue(key, name);
  if (text.empty() || text.size() > 9 ||
      !std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
    return fallback;
  }
  const DWORD ms = static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
  return ms > 0 ? ms : fallback;
}

// DirectIO strings under BinaryConversion: none (characters), nibble (each
// byte as two characters 0x30 + nibble) or decimal (each byte as three
// digits). Returns false for text that is not in the form.
bool DecodeBinary(long conversion, const wchar_t* text, std::string* bytes) {
  std::wstring s = text ? text : L"";
  bytes->clear();
  if (conversion == kBinaryConversionNone) {
    *bytes = ToEcrText(s.data(), s.size());
    return true;
  }
  const size_t width = conversion == kBinaryConversionNibble ? 2 : 3;
  if (s.size() % width != 0) return false;
  for (size_t i = 0; i < s.size(); i += width) {
    int value = 0;
    for (size_t j = 0; j < width; ++j) {
      const wchar_t c = s[i + j];
      if (conversion == kBinaryConversionNibble) {
        if (c < 0x30 || c > 0x3F) return false;
        value = value * 16 + (c - 0x30);
      } else {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
      }
    }
    if (value > 255) return false;
    bytes->push_back(static_cast<char>(value));
  }
  return true;
}

std::wstring EncodeBinary(long conversion, const std::string& bytes) {
  if (conversion == kBinaryConversionNone) return FromEcrText(bytes);
  std::wstring out;
  for (unsigned char b : bytes) {
    if (conversion == kBinaryConversionNibble) {
      out += static_cast<wchar_t>(0x30 + (b >> 4));
      out += static_cast<wchar_t>(0x30 + (b & 0x0F));
    } else {
      wchar_t d[4];
      swprintf(d, 4, L"%03u", static_cast<unsigned>(b));
      out += d;
    }
  }
  return out;
}

}  // namespace

std::string ToEcrText(const wchar_t* text, size_t length) {
  if (!text || length == 0) return std::string();
  const int n = static_cast<int>(std::min<size_t>(length, 4096));
  // C1 controls become DEL, a control every text check refuses, rather than
  // whatever the code page would make of them.
  std::wstring wide(text, static_cast<size_t>(n));
  for (wchar_t& c : wide) {
    if (c >= 0x80 && c <= 0x9F) c = 0x7F;
  }
  std::string out(static_cast<size_t>(n) * 2, '\0');
  const int m = WideCharToMultiByte(kCodePage, 0, wide.data(), n, &out[0],
                                    static_cast<int>(out.size()), "?", nullptr);
  out.resize(m > 0 ? static_cast<size_t>(m) : 0);
  return out;
}

std::wstring FromEcrText(const std::string& text) {
  if (text.empty()) return std::wstring();
  std::wstring out(text.size(), L'\0');
  const int m = MultiByteToWideChar(kCodePage, 0, text.data(), static_cast<int>(text.size()),
                                    &out[0], static_cast<int>(out.size()));
  out.resize(m > 0 ? static_cast<size_t>(m) : 0);
  return out;
}

FiscalService::FiscalService(IUnknown* owner) : relay_(owner) {
  relay_.onErrorAnswered = [this](long serial, long response) {
    thread_.Post(kErrorAnsweredMessage, static_cast<WPARAM>(serial), response);
  };
}

FiscalService::~FiscalService() {
  relay_.Unbind();
  thread_.Stop([this] { Close(); });
}

long FiscalService::Done(Outcome o) {
  resultCode_ = o.code;
  resultCodeExtended_ = o.extended;  // the fiscal code with 114, the Service Object's with others
  // Errors of asynchronous output are noted by the queue, with their job.
  if (!running_) NoteError(o, CurrentPrinterState());
  return o.code;
}

void FiscalService::NoteError(const Outcome& o, long printerState) {
  switch (o.code) {
    case OPOS_E_EXTENDED:
    case OPOS_E_OFFLINE:
    case OPOS_E_NOHARDWARE:
    case OPOS_E_TIMEOUT:
    case OPOS_E_FAILURE:
      break;
    default:
      return;  // not the printer's: a call out of place, or success
  }
  const long e = o.code == OPOS_E_EXTENDED ? o.extended : 0;
  // A printer that cannot keep its fiscal record is unusable until serviced.
  const bool fatal = e == OPOS_EFPTR_TECHNICAL_ASSISTANCE || e == OPOS_EFPTR_MEMORY_FULL ||
                     e == OPOS_EFPTR_FISCAL_MEMORY_DISCONNECTED ||
                     e == OPOS_EFPTR_FISCAL_TOTALS_ERROR;
  errorLevel_ = fatal ? FPTR_EL_FATAL : FPTR_EL_RECOVERABLE;
  errorStation_ = e == OPOS_EFPTR_JRN_EMPTY    ? FPTR_S_JOURNAL
                  : e == OPOS_EFPTR_COVER_OPEN ? FPTR_S_JOURNAL_RECEIPT
                                               : FPTR_S_RECEIPT;
  errorState_ = printerState;
}

long FiscalService::CurrentPrinterState() const {
  if (reporting_) return kPrinterReport;
  const long state = model_.PrinterState();
  return state == kPrinterMonitor && Locked() ? kPrinterLocked : state;
}

bool FiscalService::Locked() const {
  return enabled_ && ((flags_ & cmd::kFlagMemoryFault) != 0 || memoryFull_);
}

Outcome FiscalService::Unreachable() const {
  // An application that asked for power reports learns that the printer is
  // off or off line; the others get "no hardware".
  return Outcome{enabled_ && powerNotify_ == OPOS_PN_ENABLED ? OPOS_E_OFFLINE : OPOS_E_NOHARDWARE,
                 0};
}

Outcome FiscalService::Ready() const {
  if (!open_) return Outcome{OPOS_E_CLOSED, 0};
  if (!claimed_) return Outcome{OPOS_E_NOTCLAIMED, 0};
  if (!enabled_) return Outcome{OPOS_E_DISABLED, 0};
  return Ok();
}

// --- Session ---------------------------------------------------------------

long FiscalService::OpenService(const std::wstring& deviceClass, const std::wstring& deviceName,
                                IDispatch* control) {
  if (open_) return Done(OPOS_E_ILLEGAL);
  if (deviceName.empty() || deviceName.size() > 100) return Done(OPOS_E_NOEXIST);
  const std::wstring keyPath = kClassKey + deviceName;
  kr::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return Done(OPOS_E_NOEXIST);
  }
  driverName_ = ReadValue(key.get(), L"LinkDriver");
  if (driverName_.empty()) driverName_ = L"Sandoral";
  // The link's settings: inline ("@..."), a key of their own, or the
  // device key itself.
  // How long an ECR may stay silent before the link counts as lost.
  answerLimitMs_ = ReadMilliseconds(key.get(), L"AnswerTimeout", kDefaultAnswerLimitMs);
  reportLimitMs_ = ReadMilliseconds(key.get(), L"ReportTimeout", kDefaultReportLimitMs);
  std::wstring link = ReadValue(key.get(), L"Link");
  if (link.empty()) link = keyPath;
  linkSettings_ = ToEcrText(link.data(), link.size());
  log_.Configure(linkSettings_);
  if (!link_.Load(driverName_, &errorString_)) return Done(OPOS_E_NOEXIST);

  deviceName_ = deviceName;
  (void)control;  // bound on the application's thread (BindControl)
  (void)deviceClass;
  open_ = true;
  return Done(Ok());
}

long FiscalService::Close() {
  if (!open_) return Done(OPOS_E_CLOSED);
  if (claimed_) Release();
  open_ = false;
  return Done(Ok());
}

long FiscalService::Claim(long timeoutMs) {
  if (!open_) return Done(OPOS_E_CLOSED);
  if (claimed_) return Done(Ok());
  if (timeoutMs < -1) return Done(OPOS_E_ILLEGAL);
  if (claiming_) return Done(OPOS_E_BUSY);  // called again from a window procedure
  claiming_ = true;
  const DeviceClaim::Result r = claim_.Take(deviceName_, timeoutMs, [this] { return !open_; });
  claiming_ = false;
  switch (r) {
    case DeviceClaim::Result::kTaken:
      claimed_ = true;
      return Done(Ok());
    case DeviceClaim::Result::kTimeout:
      return Done(OPOS_E_TIMEOUT);
    case DeviceClaim::Result::kGivenUp:
      return Done(OPOS_E_CLOSED);  // closed from a window procedure
    default:
      errorString_ = "the device's claim could not be made";
      return Done(OPOS_E_FAILURE);
  }
}

long FiscalService::Release() {
  if (!open_) return Done(OPOS_E_CLOSED);
  if (!claimed_) return Done(OPOS_E_ILLEGAL);
  if (enabled_) Disable();
  claim_.Release();
  claimed_ = false;
  return Done(Ok());
}

long FiscalService::Enable() {
  if (!claimed_) return Done(OPOS_E_NOTCLAIMED);
  if (enabled_) return Done(Ok());
  enabling_ = true;
  Outcome o = Connect();
  enabling_ = false;
  if (o) {
    enabled_ = true;
    o = Resync();
    if (!o) Disable();
  }
  // An application that asked for power reports learns the state at once.
  if (o && powerNotify_ == OPOS_PN_ENABLED) {
    Fire(EventRelay::Event::kStatus, OPOS_SUE_POWER_ONLINE);
  }
  return Done(o);
}

void FiscalService::Disable() {
  ClearQueue();
  enabled_ = false;
  link_.Close();
  powerOnline_ = false;
}

long FiscalService::CheckHealth(long level) {
  Outcome o = Ready();
  if (!o) return Done(o);
  if (level == OPOS_CH_INTERNAL) {
    checkHealthText_ = L"Internal HCheck: Successful";
  } else if (level == OPOS_CH_EXTERNAL) {
    o = queue_.empty() ? Resync() : Outcome{OPOS_E_BUSY, 0};
    checkHealthText_ =
        o ? L"External HCheck: Successful"
          : L"External HCheck: " + Wide(errorString_.empty() ? "failed" : errorString_);
  } else {
    return Done(OPOS_E_ILLEGAL);  // no interactive check
  }
  return Done(o);
}

long FiscalService::DirectIO(long command, long* data, BSTR* text) {
  Outcome o = Ready();
  if (!o) return Done(o);
  if (command != kDirectIoRaw || !text) return Done(OPOS_E_ILLEGAL);
  std::string raw;
  if (!DecodeBinary(binaryConversion_, *text, &raw) || raw.empty() ||
      raw.size() > cmd::kMaxMessage) {
    return Done(OPOS_E_ILLEGAL);
  }
  if (!queue_.empty() || errorPending_) return Done(OPOS_E_BUSY);
  ecrcmd::Answer answer;
  o = Transact(raw, &answer, true);
  if (data) *data = answer.isError ? answer.error : 0;
  std::string back;
  if (answer.isError) {
    back = "E" + N(answer.error);
  } else if (o) {
    back = std::string(1, answer.code) + N(answer.flags);
    for (const std::string& f : answer.fields) back += cmd::kSeparator + f;
  }
  SetOut(text, EncodeBinary(binaryConversion_, back));
  // A raw command may have moved the printer on: read its state again.
  if (!cmd::IsQuery(raw[0])) resyncDue_ = true;
  FollowPrinter();
  return Done(o);
}

long FiscalService::COFreezeEvents(bool freeze) {
  relay_.SetFrozen(EventRelay::Freeze::kContainer, freeze);
  return Done(Ok());
}

long FiscalService::ClearOutput() {
  Outcome o = open_ && claimed_ ? Ok() : Outcome{open_ ? OPOS_E_NOTCLAIMED : OPOS_E_CLOSED, 0};
  if (!o) return Done(o);
  ClearQueue();
  // Held error events are cleared with the output they belong to.
  relay_.DropErrors();
  // The printer's word rebuilds the model, at once or after the running
  // transaction (this may be called from inside one).
  resyncDue_ = true;
  FollowPrinter();
  return Done(Ok());
}

long FiscalService::ClearError() {
  Outcome o = Ready();
  if (!o) return Done(o);
  if (!queue_.empty() || errorPending_) return Done(OPOS_E_BUSY);
  errorLevel_ = FPTR_EL_NONE;
  errorString_.clear();
  return Done(Resync());
}

long FiscalService::ResetPrinter() {
  Outcome o = Ready();
  if (!o) return Done(o);
  ClearQueue();
  ecrcmd::Answer answer;
  o = Transact(std::string(1, cmd::kReset), &answer);
  if (o) model_.Reset();
  resyncDue_ = true;
  FollowPrinter();
  return Done(o);
}

void FiscalService::ClearQueue() {
  queue_.clear();
  errorPending_ = false;
  ++clears_;
}

// --- Properties -------------------------------------------------------------

long FiscalService::GetPropertyNumber(long index) {
  for (const Capability& c : kCapabilities) {
    if (c.index == index) return c.value ? 1 : 0;
  }
  switch (index) {
    case PIDX_Claimed:
      return claimed_;
    case PIDX_DeviceEnabled:
      return enabled_;
    case PIDX_FreezeEvents:
      return freezeEvents_;
    case PIDX_OutputID:
      return outputId_;
    case PIDX_ResultCode:
      return resultCode_;
    case PIDX_ResultCodeExtended:
      return resultCodeExtended_;
    case PIDX_ServiceObjectVersion:
      return kServiceVersion;
    case PIDX_State:
      if (!open_) return OPOS_S_CLOSED;
      if (errorPending_) return OPOS_S_ERROR;
      return queue_.empty() && !running_ && !clearing_ ? OPOS_S_IDLE : OPOS_S_BUSY;
    case PIDX_BinaryConversion:
      return binaryConversion_;
    case PIDX_PowerNotify:
      return powerNotify_;
    case PIDX_PowerState:
      if (powerNotify_ == OPOS_PN_DISABLED) return OPOS_PS_UNKNOWN;
      return powerOnline_ ? OPOS_PS_ONLINE : OPOS_PS_OFF_OFFLINE;
    case PIDX_AmountDecimalPlaces:
      return 2;
    case PIDX_AsyncMode:
      return asyncMode_;
    case PIDX_CheckTotal:
      return checkTotal_;
    case PIDX_CountryCode:
      return FPTR_CC_ITALY;
    case PIDX_CoverOpen:
      return (flags_ & cmd::kFlagCoverOpen) != 0;
    case PIDX_DayOpened:
      return (flags_ & cmd::kFlagDayOpen) != 0;
    case PIDX_DescriptionLength:
      return cmd::kDescriptionLength;
    case PIDX_DuplicateReceipt:
      return duplicateReceipt_;
    case PIDX_ErrorLevel:
      return errorLevel_;
    case PIDX_ErrorOutID:
      return errorOutId_;
    case PIDX_ErrorState:
      return errorState_;
    case PIDX_ErrorStation:
      return errorStation_;
    case PIDX_FlagWhenIdle:
      return flagWhenIdle_;
    case PIDX_JrnEmpty:
      return (flags_ & cmd::kFlagJournalEmpty) != 0;
    case PIDX_JrnNearEnd:
      return (flags_ & cmd::kFlagJournalNearEnd) != 0;
    case PIDX_MessageLength:
      return cmd::kLineWidth;
    case PIDX_NumHeaderLines:
      return cmd::kHeaderLines;
    case PIDX_NumTrailerLines:
      return cmd::kTrailerLines;
    case PIDX_NumVatRates:
      return cmd::kVatRates;
    case PIDX_PrinterState:
      return CurrentPrinterState();
    case PIDX_QuantityDecimalPlaces:
      return 3;
    case PIDX_QuantityLength:
      return cmd::kQuantityLength;
    case PIDX_RecEmpty:
      return (flags_ & cmd::kFlagReceiptEmpty) != 0;
    case PIDX_RecNearEnd:
      return (flags_ & cmd::kFlagReceiptNearEnd) != 0;
    case PIDX_RemainingFiscalMemory:
      return remainingFiscalMemory_;
    case PIDX_SlpEmpty:
    case PIDX_SlpNearEnd:
      return 0;
    case PIDX_SlipSelection:
      return FPTR_SS_FULL_LENGTH;
    case PIDX_TrainingModeActive:
      return model_.Training();
    default:
      return 0;
  }
}

void FiscalService::SetPropertyNumber(long index, long value) {
  if (!open_) {
    Done(OPOS_E_CLOSED);
    return;
  }
  const bool on = value != 0;
  switch (index) {
    case PIDX_DeviceEnabled:
      if (on) {
        Enable();
      } else {
        if (enabled_) Disable();
        Done(claimed_ ? Ok() : Outcome{OPOS_E_NOTCLAIMED, 0});
      }
      return;
    case PIDX_FreezeEvents:
      freezeEvents_ = on;
      relay_.SetFrozen(EventRelay::Freeze::kApplication, on);
      break;
    case PIDX_BinaryConversion:
      if (value < kBinaryConversionNone || value > kBinaryConversionDecimal) {
        Done(OPOS_E_ILLEGAL);
        return;
      }
      binaryConversion_ = value;
      break;
    case PIDX_PowerNotify:
      if (enabled_ || (value != OPOS_PN_DISABLED && value != OPOS_PN_ENABLED)) {
        Done(OPOS_E_ILLEGAL);  // set only while disabled
        return;
      }
      powerNotify_ = value;
      break;
    case PIDX_AsyncMode:
      asyncMode_ = on;
      break;
    case PIDX_CheckTotal:
      checkTotal_ = on;
      break;
    case PIDX_DuplicateReceipt:
      duplicateReceipt_ = on;
      break;
    case PIDX_FlagWhenIdle:
      flagWhenIdle_ = on;
      // Already idle: the event comes at once.
      if (on && enabled_ && queue_.empty() && !running_ && !errorPending_) {
        flagWhenIdle_ = false;
        Fire(EventRelay::Event::kStatus, FPTR_SUE_IDLE);
      }
      break;
    default:  // SlipSelection (there is no slip station) and read-only ones
      Done(OPOS_E_ILLEGAL);
      return;
  }
  Done(Ok());
}

std::wstring FiscalService::GetPropertyString(long index) {
  switch (index) {
    case PIDX_CheckHealthText:
      return checkHealthText_;
    case PIDX_DeviceDescription:
      return L"Kerunel fiscal printer over " + driverName_ + L" (" + Wide(linkSettings_) + L")";
    case PIDX_DeviceName:
      return deviceName_;
    case PIDX_ServiceObjectDescription:
      return L"Kerunel reference Service Object, Kerunel ECR command set";
    case PIDX_ErrorString:
      return Wide(errorString_);
    case PIDX_ReservedWord:
      return Wide(cmd::kReservedWord);
    default:  // PredefinedPaymentLines: none
      return L"";
  }
}

void FiscalService::SetPropertyString(long) {
  Done(OPOS_E_ILLEGAL);
}

}  // namespace kso
