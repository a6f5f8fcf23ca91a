#include "fiscal_service.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "opos.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace kso {

using namespace opos;
namespace cmd = ecrcmd;

namespace {

constexpr UINT kRunMessage = WM_APP + 1;  // run the asynchronous output queue
constexpr UINT kNetMessage = WM_APP + 2;  // the link driver's line change
constexpr wchar_t kWindowClass[] = L"KerunelServiceWindow";
constexpr wchar_t kClassKey[] = L"SOFTWARE\\OLEforRetail\\ServiceOPOS\\Kerunel\\";
constexpr UINT kCodePage = 1252;  // the ECR's 8-bit texts
constexpr long kDirectIoRaw = 1;  // DirectIO command: one raw ECR command
constexpr long kServiceVersion = EncodeVersion(1, 3, 1);
constexpr int kLineFaultBit = 0x02;
constexpr DWORD kDefaultAnswerLimitMs = 30000;

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

// Status flags and the status updates they raise when they come and go.
struct FlagEvent {
  int flag;
  long on;
  long off;
};
constexpr FlagEvent kFlagEvents[] = {
    {cmd::kFlagCoverOpen, FPTR_SUE_COVER_OPEN, FPTR_SUE_COVER_OK},
    {cmd::kFlagReceiptEmpty, FPTR_SUE_REC_EMPTY, FPTR_SUE_REC_PAPEROK},
    {cmd::kFlagReceiptNearEnd, FPTR_SUE_REC_NEAREMPTY, FPTR_SUE_REC_PAPEROK},
    {cmd::kFlagJournalEmpty, FPTR_SUE_JRN_EMPTY, FPTR_SUE_JRN_PAPEROK},
    {cmd::kFlagJournalNearEnd, FPTR_SUE_JRN_NEAREMPTY, FPTR_SUE_JRN_PAPEROK},
};

std::string N(int64_t value) {
  return std::to_string(value);
}

// Whole cents of an OPOS currency value; false when it has a finer part.
bool ToCents(int64_t currency, int64_t* cents) {
  if (currency % 100 != 0) return false;
  *cents = currency / 100;
  return true;
}

std::string Money(int64_t cents) {
  char b[32];
  const int64_t a = cents < 0 ? -cents : cents;
  std::snprintf(b, sizeof b, "%s%lld.%02lld", cents < 0 ? "-" : "", static_cast<long long>(a / 100),
                static_cast<long long>(a % 100));
  return b;
}

// "22", "22.5", "22.00" or "22,00" as hundredths of a percent; -1 when not one.
long ParseRate(const std::string& text) {
  long whole = 0, fraction = 0;
  int digits = 0, fractionDigits = -1;
  for (char c : text) {
    if ((c == '.' || c == ',') && fractionDigits < 0) {
      fractionDigits = 0;
    } else if (c >= '0' && c <= '9' && fractionDigits < 2) {
      if (fractionDigits < 0) {
        if (++digits > 2) return -1;
        whole = whole * 10 + (c - '0');
      } else {
        fraction = fraction * 10 + (c - '0');
        ++fractionDigits;
      }
    } else {
      return -1;
    }
  }
  if (digits == 0) return -1;
  if (fractionDigits == 1) fraction *= 10;
  return whole * 100 + fraction;
}

bool IsDigits(const std::string& s, size_t length) {
  return s.size() == length &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// ddmmyyyy or ddmmyyyyhhmm, the forms a report takes its dates in.
bool IsReportDate(const std::string& s) {
  return IsDigits(s, 8) || IsDigits(s, 12);
}

bool IsQueryCode(char code) {
  return code == cmd::kStatus || code == cmd::kGetDate || code == cmd::kGetData ||
         code == cmd::kGetTotalizer || code == cmd::kGetVatRate;
}

bool IsReportCode(char code) {
  return code == cmd::kXReport || code == cmd::kZReport || code == cmd::kPeriodicReport ||
         code == cmd::kMemoryReport || code == cmd::kPowerLossReport;
}

void SetOut(BSTR* out, const std::wstring& text) {
  if (!out) return;
  SysFreeString(*out);
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

std::wstring Wide(const std::string& text) {
  return FromEcrText(text);
}

// A registry string under HKLM; empty when missing.
std::wstring ReadValue(HKEY key, const wchar_t* name) {
  wchar_t buffer[512];
  DWORD bytes = sizeof buffer;
  if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer, &bytes) != ERROR_SUCCESS) {
    return L"";
  }
  return buffer;
}

// The ECR's error number as an OPOS result.
Outcome FromEcrError(uint8_t error) {
  if (error >= cmd::kErrCoverOpen && error <= cmd::kErrWordNotAllowed) {
    return Extended(200 + error);
  }
  if (error == cmd::kErrBusy) return Outcome{OPOS_E_BUSY, 0};
  if (error == cmd::kErrSyntax || error == cmd::kErrUnknownCommand) return Illegal();
  return Outcome{OPOS_E_FAILURE, 0};
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

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* service = reinterpret_cast<FiscalService*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (service && (message == kRunMessage || message == kNetMessage)) {
    service->OnWindowMessage(message, wParam, lParam);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND CreateMessageWindow(FiscalService* service) {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (!GetClassInfoExW(instance, kWindowClass, &wc)) {
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);
  }
  HWND hwnd = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                              nullptr);
  if (hwnd) SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(service));
  return hwnd;
}

}  // namespace

std::string ToEcrText(const wchar_t* text, size_t length) {
  if (!text || length == 0) return std::string();
  const int n = static_cast<int>(std::min<size_t>(length, 4096));
  std::string out(static_cast<size_t>(n) * 2, '\0');
  const int m = WideCharToMultiByte(kCodePage, 0, text, n, &out[0], static_cast<int>(out.size()),
                                    "?", nullptr);
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

FiscalService::FiscalService(IUnknown* owner) : owner_(owner) {}

FiscalService::~FiscalService() {
  Close();
}

long FiscalService::Done(Outcome o) {
  resultCode_ = o.code;
  resultCodeExtended_ = o.code == OPOS_E_EXTENDED ? o.extended : 0;
  return o.code;
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
  const std::wstring limit = ReadValue(key.get(), L"AnswerTimeout");
  answerLimitMs_ = kDefaultAnswerLimitMs;
  if (!limit.empty()) {
    const long ms = std::wcstol(limit.c_str(), nullptr, 10);
    if (ms > 0) answerLimitMs_ = static_cast<DWORD>(ms);
  }
  std::wstring link = ReadValue(key.get(), L"Link");
  if (link.empty()) link = keyPath;
  linkSettings_ = ToEcrText(link.data(), link.size());
  if (!link_.Load(driverName_, &errorString_)) return Done(OPOS_E_NOEXIST);

  window_.reset(CreateMessageWindow(this));
  if (!window_) return Done(OPOS_E_FAILURE);
  deviceName_ = deviceName;
  control_ = kr::ComPtr<IDispatch>(control);
  if (control_) {
    const wchar_t* names[] = {L"SOStatusUpdate", L"SOOutputComplete", L"SOError"};
    DISPID* slots[] = {&statusDispid_, &outputDispid_, &errorDispid_};
    for (int i = 0; i < 3; ++i) {
      LPOLESTR name = const_cast<LPOLESTR>(names[i]);
      if (FAILED(control_->GetIDsOfNames(IID_NULL, &name, 1, 0, slots[i]))) {
        *slots[i] = DISPID_UNKNOWN;
      }
    }
  }
  (void)deviceClass;
  open_ = true;
  return Done(Ok());
}

long FiscalService::Close() {
  if (!open_) return Done(OPOS_E_CLOSED);
  if (claimed_) Release();
  held_.clear();
  window_.reset();
  open_ = false;
  kr::ComPtr<IDispatch> control = std::move(control_);
  control.reset();  // last: the control may go away with it
  return Done(Ok());
}

long FiscalService::Claim(long timeoutMs) {
  if (!open_) return Done(OPOS_E_CLOSED);
  if (claimed_) return Done(Ok());
  if (timeoutMs < -1) return Done(OPOS_E_ILLEGAL);
  // One claim per device name on this machine: a semaphore of one.
  std::wstring name = L"Local\\Kerunel.Claim." + deviceName_;
  std::replace(name.begin() + 6, name.end(), L'\\', L'/');
  kr::UniqueHandle semaphore(CreateSemaphoreW(nullptr, 1, 1, name.c_str()));
  if (!semaphore) return Done(OPOS_E_FAILURE);
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD wait = INFINITE;
    if (timeoutMs >= 0) {
      const DWORD used = GetTickCount() - start;
      wait = used >= static_cast<DWORD>(timeoutMs) ? 0 : static_cast<DWORD>(timeoutMs) - used;
    }
    HANDLE h = semaphore.get();
    const DWORD w = MsgWaitForMultipleObjects(1, &h, FALSE, wait, QS_ALLINPUT);
    if (w == WAIT_OBJECT_0) break;
    if (w != WAIT_OBJECT_0 + 1) return Done(OPOS_E_TIMEOUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (!open_) return Done(OPOS_E_CLOSED);  // closed from a window procedure
    if (claimed_) return Done(Ok());
  }
  claim_ = std::move(semaphore);
  claimed_ = true;
  return Done(Ok());
}

long FiscalService::Release() {
  if (!open_) return Done(OPOS_E_CLOSED);
  if (!claimed_) return Done(OPOS_E_ILLEGAL);
  if (enabled_) Disable();
  ReleaseSemaphore(claim_.get(), 1, nullptr);
  claim_.reset();
  claimed_ = false;
  return Done(Ok());
}

long FiscalService::Enable() {
  if (!claimed_) return Done(OPOS_E_NOTCLAIMED);
  if (enabled_) return Done(Ok());
  Outcome o = Connect();
  if (o) {
    enabled_ = true;
    o = Resync();
    if (!o) Disable();
  }
  // An application that asked for power reports learns the state at once.
  if (o && powerNotify_ == OPOS_PN_ENABLED) {
    Fire(Event{Event::kStatus, OPOS_SUE_POWER_ONLINE, 0});
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
  o = Transact(raw, &answer);
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
  if (!IsQueryCode(raw[0]) && link_.IsOpen()) {
    const long result = resultCode_;
    Resync();
    resultCode_ = result;
  }
  return Done(o);
}

long FiscalService::COFreezeEvents(bool freeze) {
  containerFrozen_ = freeze;
  if (!Frozen()) DeliverHeld();
  return Done(Ok());
}

long FiscalService::ClearOutput() {
  Outcome o = open_ && claimed_ ? Ok() : Outcome{open_ ? OPOS_E_NOTCLAIMED : OPOS_E_CLOSED, 0};
  if (!o) return Done(o);
  const bool hadOutput = !queue_.empty() || errorPending_;
  ClearQueue();
  // Held error events are cleared with the output they belong to.
  held_.erase(std::remove_if(held_.begin(), held_.end(),
                             [](const Event& e) { return e.kind == Event::kError; }),
              held_.end());
  if (hadOutput && enabled_) Resync();
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
  return Done(o);
}

void FiscalService::ClearQueue() {
  queue_.clear();
  errorPending_ = false;
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
      return queue_.empty() ? OPOS_S_IDLE : OPOS_S_BUSY;
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
      return reporting_ ? kPrinterReport : model_.PrinterState();
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
      if (!Frozen()) DeliverHeld();
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
      if (on && enabled_ && queue_.empty() && !errorPending_) {
        flagWhenIdle_ = false;
        Fire(Event{Event::kStatus, FPTR_SUE_IDLE, 0});
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

// --- ECR transactions -------------------------------------------------------

Outcome FiscalService::Connect() {
  if (link_.IsOpen()) return Ok();
  const int error = link_.Open(linkSettings_, window_.get(), kNetMessage);
  if (error != 0) {
    char text[160];
    std::snprintf(text, sizeof text,
                  error == 101 ? "the link driver is already in use by another device (%d)"
                               : "the ECR cannot be reached over the link (%d)",
                  error);
    errorString_ = text;
    SetPower(false);
    return Outcome{OPOS_E_NOHARDWARE, 0};
  }
  SetPower(true);
  return Ok();
}

void FiscalService::LinkLost() {
  link_.Close();  // opened again by the next transaction
  SetPower(false);
}

Outcome FiscalService::Transact(const std::string& command, ecrcmd::Answer* answer) {
  *answer = ecrcmd::Answer{};
  if (inTransaction_) return Outcome{OPOS_E_BUSY, 0};
  Outcome o = Connect();
  if (!o) return o;
  inTransaction_ = true;
  reporting_ = IsReportCode(command[0]);
  std::string raw;
  int extra = 0;
  const int r = link_.Transact(command, &raw, &extra, answerLimitMs_);
  inTransaction_ = false;
  reporting_ = false;
  char text[160];
  switch (r) {
    case 0:
      if (!ecrcmd::ParseAnswer(raw, answer) || answer->isError || answer->code != command[0]) {
        errorString_ = "the ECR's answer does not belong to the command";
        o = Outcome{OPOS_E_FAILURE, 0};
      } else {
        UpdateFlags(answer->flags);
      }
      break;
    case 8: {
      const uint8_t error = static_cast<uint8_t>(extra);
      answer->isError = true;
      answer->error = error;
      std::snprintf(text, sizeof text, "the ECR refused the command (error %u)", error);
      errorString_ = text;
      // A refusal for paper or cover tells the printer's state as well.
      if (error == cmd::kErrCoverOpen) UpdateFlags(flags_ | cmd::kFlagCoverOpen);
      if (error == cmd::kErrReceiptEmpty) UpdateFlags(flags_ | cmd::kFlagReceiptEmpty);
      if (error == cmd::kErrJournalEmpty) UpdateFlags(flags_ | cmd::kFlagJournalEmpty);
      o = FromEcrError(error);
      break;
    }
    case 1:
      o = Outcome{OPOS_E_BUSY, 0};
      break;
    case 2:
    case 4:
      std::snprintf(text, sizeof text,
                    r == 2 ? "the command could not be sent: the link is down (%d)"
                           : "the ECR did not answer: the link is down or the ECR is off (%d)",
                    extra);
      errorString_ = text;
      LinkLost();
      o = Outcome{r == 2 ? OPOS_E_NOHARDWARE : OPOS_E_TIMEOUT, 0};
      break;
    default:
      std::snprintf(text, sizeof text, "the link driver failed (%d)", r);
      errorString_ = text;
      o = Outcome{OPOS_E_FAILURE, 0};
      break;
  }
  // Output queued while the driver pumped messages is run next.
  if (!queue_.empty() && !running_) PostRun();
  return o;
}

Outcome FiscalService::Query(const std::string& command, ecrcmd::Answer* answer) {
  if (!queue_.empty() || errorPending_) return Outcome{OPOS_E_BUSY, 0};
  Outcome o = Transact(command, answer);
  if (o && answer->fields.empty()) {
    errorString_ = "the ECR's answer lacks its data";
    o = Outcome{OPOS_E_FAILURE, 0};
  }
  return o;
}

Outcome FiscalService::Resync() {
  ecrcmd::Answer status;
  Outcome o = Transact(std::string(1, cmd::kStatus), &status);
  if (!o) return o;
  int64_t document = 0, remaining = 0, subtotal = 0;
  if (status.fields.size() < 5 || !cmd::ParseNumber(status.fields[0], &document) ||
      !cmd::ParseNumber(status.fields[4], &remaining)) {
    errorString_ = "the ECR's status answer is malformed";
    return Outcome{OPOS_E_FAILURE, 0};
  }
  remainingFiscalMemory_ = static_cast<long>(remaining);
  if (document >= cmd::kDocReceipt && document <= cmd::kDocReceiptEnding) {
    ecrcmd::Answer total;
    o = Transact(cmd::Build(cmd::kGetData, {N(cmd::kDataCurrentTotal)}), &total);
    if (!o) return o;
    if (!total.fields.empty()) cmd::ParseNumber(total.fields[0], &subtotal);
  }
  model_.Sync(static_cast<cmd::DocumentState>(document), (status.flags & cmd::kFlagTraining) != 0,
              subtotal);
  return Ok();
}

void FiscalService::UpdateFlags(int flags) {
  const int before = flags_;
  flags_ = flags;
  if (!enabled_) return;
  for (const FlagEvent& f : kFlagEvents) {
    const bool was = (before & f.flag) != 0, is = (flags & f.flag) != 0;
    if (was == is) continue;
    // Paper coming back after near-end and empty is one "paper OK".
    if (!is && f.flag == cmd::kFlagReceiptNearEnd && (flags & cmd::kFlagReceiptEmpty)) continue;
    if (!is && f.flag == cmd::kFlagReceiptEmpty && (before & cmd::kFlagReceiptNearEnd) &&
        !(flags & cmd::kFlagReceiptNearEnd)) {
      continue;  // the near-end row reports it
    }
    Fire(Event{Event::kStatus, is ? f.on : f.off, 0});
  }
}

void FiscalService::SetPower(bool online) {
  if (online == powerOnline_) return;
  powerOnline_ = online;
  if (powerNotify_ == OPOS_PN_ENABLED && enabled_) {
    Fire(Event{Event::kStatus, online ? OPOS_SUE_POWER_ONLINE : OPOS_SUE_POWER_OFF_OFFLINE, 0});
  }
}

// --- Printing ---------------------------------------------------------------

long FiscalService::Print(const std::string& command, const ReceiptModel& next) {
  if (command.size() > cmd::kMaxMessage) return Done(OPOS_E_ILLEGAL);
  if (asyncMode_) {
    const long stateBefore = model_.PrinterState();
    model_ = next;
    outputId_ = ++lastOutputId_;
    queue_.push_back(Job{command, outputId_, stateBefore});
    PostRun();
    return Done(Ok());
  }
  if (!queue_.empty() || errorPending_) return Done(OPOS_E_BUSY);
  ecrcmd::Answer answer;
  Outcome o = Transact(command, &answer);
  if (!o) return Done(o);
  model_ = next;
  // The ECR's figures are the last word on the receipt.
  int64_t value = 0;
  if (!answer.fields.empty() && cmd::ParseNumber(answer.fields[0], &value)) {
    switch (command[0]) {
      case cmd::kItem:
      case cmd::kItemAdjustment:
      case cmd::kVoidItem:
      case cmd::kRefund:
      case cmd::kSubtotal:
      case cmd::kSubtotalAdjustment:
        model_.SetSubtotal(value);
        break;
      case cmd::kPayment:
      case cmd::kNotPaid:
        model_.SetDue(value);
        break;
      default:
        break;
    }
  }
  return Done(o);
}

// A presetting: sent at once, only in the Monitor state.
long FiscalService::Setting(const std::string& command, Outcome check) {
  Outcome o = Ready();
  if (o) o = check;
  if (o) o = model_.MonitorOnly();
  if (o && command.size() > cmd::kMaxMessage) o = Illegal();
  if (o && (!queue_.empty() || errorPending_)) o = Outcome{OPOS_E_BUSY, 0};
  ecrcmd::Answer answer;
  if (o) o = Transact(command, &answer);
  return Done(o);
}

// A text that is not a field (a '|' or a control character) is refused.
static Outcome CheckText(const std::string& text, size_t limit) {
  return text.size() <= limit && cmd::IsFieldText(text) ? Ok() : Illegal();
}

long FiscalService::SetDate(const std::string& date) {
  return Setting(cmd::Build(cmd::kSetDate, {date}),
                 IsDigits(date, 12) ? Ok() : Extended(OPOS_EFPTR_BAD_DATE));
}

long FiscalService::SetHeaderLine(long line, const std::string& text, bool doubleWidth) {
  Outcome check = line >= 1 && line <= cmd::kHeaderLines
                      ? CheckText(text, doubleWidth ? cmd::kLineWidth / 2 : cmd::kLineWidth)
                      : Illegal();
  return Setting(cmd::Build(cmd::kHeaderLine, {N(line), doubleWidth ? "1" : "0", text}), check);
}

long FiscalService::SetTrailerLine(long line, const std::string& text, bool doubleWidth) {
  Outcome check = line >= 1 && line <= cmd::kTrailerLines
                      ? CheckText(text, doubleWidth ? cmd::kLineWidth / 2 : cmd::kLineWidth)
                      : Illegal();
  return Setting(cmd::Build(cmd::kTrailerLine, {N(line), doubleWidth ? "1" : "0", text}), check);
}

long FiscalService::SetPOSID(const std::string& posId, const std::string& cashierId) {
  Outcome check = CheckText(posId, 4);
  if (check) check = CheckText(cashierId, 8);
  return Setting(cmd::Build(cmd::kPosId, {posId, cashierId}), check);
}

long FiscalService::SetStoreFiscalID(const std::string& id) {
  return Setting(cmd::Build(cmd::kStoreId, {id}), CheckText(id, 16));
}

long FiscalService::SetVatValue(long vatId, const std::string& value) {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  const long rate = ParseRate(value);
  if (o && (vatId < 1 || vatId > cmd::kVatRates || rate < 0 || rate > cmd::kMaxRate)) {
    o = Extended(OPOS_EFPTR_BAD_VAT);
  }
  if (o) vatPending_[vatId - 1] = rate;  // sent by SetVatTable
  return Done(o);
}

long FiscalService::SetVatTable() {
  std::vector<std::string> rates;
  bool any = false;
  for (long rate : vatPending_) {
    rates.push_back(rate < 0 ? std::string() : N(rate));
    any = any || rate >= 0;
  }
  const long result = Setting(cmd::Build(cmd::kVatTable, rates), any ? Ok() : Illegal());
  if (result == OPOS_SUCCESS) std::fill(std::begin(vatPending_), std::end(vatPending_), -1);
  return result;
}

// --- Fiscal receipt ---------------------------------------------------------

long FiscalService::BeginFiscalReceipt(bool printHeader) {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.BeginFiscalReceipt();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kOpenReceipt, {printHeader ? "1" : "0"}), next);
}

long FiscalService::EndFiscalReceipt(bool) {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.EndFiscalReceipt();
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kCloseReceipt), next);
}

long FiscalService::PrintDuplicateReceipt() {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (o && !duplicateReceipt_) o = Illegal();  // the application did not ask for copies
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kDuplicate), model_);
}

long FiscalService::PrintRecItem(const std::string& description, int64_t price, long quantity,
                                 long vatInfo, int64_t unitPrice, const std::string& unitName) {
  Outcome o = Ready();
  int64_t amount = 0, unit = 0;
  if (o && !ToCents(price, &amount)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  if (o && !ToCents(unitPrice, &unit)) o = Extended(OPOS_EFPTR_BAD_PRICE);
  ReceiptModel next = model_;
  if (o) o = next.Item(description, amount, quantity, vatInfo, unit, unitName);
  if (!o) return Done(o);
  return Print(
      cmd::Build(cmd::kItem, {description, N(amount), N(quantity), N(vatInfo), N(unit), unitName}),
      next);
}

long FiscalService::PrintRecItemAdjustment(long type, const std::string& description,
                                           int64_t amount, long vatInfo) {
  Outcome o = Ready();
  int64_t value = 0;  // cents, or hundredths of a percent
  if (o && !ToCents(amount, &value)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  ReceiptModel next = model_;
  if (o) o = next.ItemAdjustment(type, description, value, vatInfo);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kItemAdjustment, {N(type), description, N(value), N(vatInfo)}),
               next);
}

long FiscalService::PrintRecMessage(const std::string& message) {
  Outcome o = Ready();
  if (o) o = model_.Message(message);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kMessage, {message}), model_);
}

long FiscalService::PrintRecNotPaid(const std::string& description, int64_t amount) {
  Outcome o = Ready();
  int64_t cents = 0;
  if (o && !ToCents(amount, &cents)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  ReceiptModel next = model_;
  if (o) o = next.NotPaid(description, cents);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kNotPaid, {description, N(cents)}), next);
}

long FiscalService::PrintRecRefund(const std::string& description, int64_t amount, long vatInfo) {
  Outcome o = Ready();
  int64_t cents = 0;
  if (o && !ToCents(amount, &cents)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  ReceiptModel next = model_;
  if (o) o = next.Refund(description, cents, vatInfo);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kRefund, {description, N(cents), N(vatInfo)}), next);
}

long FiscalService::PrintRecSubtotal(int64_t amount) {
  Outcome o = Ready();
  int64_t cents = 0;
  if (o && !ToCents(amount, &cents)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  if (o) o = model_.Subtotal(cents);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kSubtotal, {N(cents)}), model_);
}

long FiscalService::PrintRecSubtotalAdjustment(long type, const std::string& description,
                                               int64_t amount) {
  Outcome o = Ready();
  int64_t value = 0;
  if (o && !ToCents(amount, &value)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  ReceiptModel next = model_;
  if (o) o = next.SubtotalAdjustment(type, description, value);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kSubtotalAdjustment, {N(type), description, N(value)}), next);
}

long FiscalService::PrintRecTotal(int64_t total, int64_t payment, const std::string& description) {
  Outcome o = Ready();
  int64_t totalCents = 0, paymentCents = 0;
  if (o && (!ToCents(total, &totalCents) || !ToCents(payment, &paymentCents))) {
    o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  }
  ReceiptModel next = model_;
  if (o) o = next.Total(totalCents, paymentCents, description, checkTotal_);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kPayment, {N(totalCents), N(paymentCents), description}), next);
}

long FiscalService::PrintRecVoid(const std::string& description) {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.VoidReceipt(description);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kVoidReceipt, {description}), next);
}

long FiscalService::PrintRecVoidItem(const std::string& description, int64_t amount, long quantity,
                                     long adjustmentType, int64_t adjustment, long vatInfo) {
  Outcome o = Ready();
  int64_t cents = 0, adj = 0;
  if (o && (!ToCents(amount, &cents) || !ToCents(adjustment, &adj))) {
    o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  }
  ReceiptModel next = model_;
  if (o) o = next.VoidItem(description, cents, quantity, adjustmentType, adj, vatInfo);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kVoidItem, {description, N(cents), N(quantity), N(adjustmentType),
                                           N(adj), N(vatInfo)}),
               next);
}

// --- Reports, non-fiscal printing, training ----------------------------------

long FiscalService::PrintPeriodicTotalsReport(const std::string& date1, const std::string& date2) {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (o && (!IsReportDate(date1) || !IsReportDate(date2))) o = Extended(OPOS_EFPTR_BAD_DATE);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kPeriodicReport, {date1, date2}), model_);
}

long FiscalService::PrintPowerLossReport() {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kPowerLossReport), model_);
}

long FiscalService::PrintReport(long reportType, const std::string& start, const std::string& end) {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (o && reportType == FPTR_RT_DATE && (!IsReportDate(start) || !IsReportDate(end))) {
    o = Extended(OPOS_EFPTR_BAD_DATE);
  }
  int64_t first = 0, last = 0;
  if (o && reportType == FPTR_RT_ORDINAL &&
      (!cmd::ParseNumber(start, &first) || !cmd::ParseNumber(end, &last) || first < 1 ||
       last < first)) {
    o = Illegal();
  }
  if (o && reportType != FPTR_RT_ORDINAL && reportType != FPTR_RT_DATE) o = Illegal();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kMemoryReport, {N(reportType), start, end}), model_);
}

long FiscalService::PrintXReport() {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kXReport), model_);
}

long FiscalService::PrintZReport() {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kZReport), model_);
}

long FiscalService::BeginNonFiscal() {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.BeginNonFiscal();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kNonFiscal, {"1"}), next);
}

long FiscalService::PrintNormal(long station, const std::string& data) {
  Outcome o = Ready();
  if (o && station != FPTR_S_RECEIPT) o = Illegal();  // the receipt is the only station
  if (o) o = model_.PrintNormal(data);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kPrintLine, {data}), model_);
}

long FiscalService::EndNonFiscal() {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.EndNonFiscal();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kNonFiscal, {"0"}), next);
}

long FiscalService::BeginTraining() {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.BeginTraining();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kTraining, {"1"}), next);
}

long FiscalService::EndTraining() {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.EndTraining();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kTraining, {"0"}), next);
}

long FiscalService::Unsupported() {
  Outcome o = Ready();
  return Done(o ? Illegal() : o);
}

// --- Data requests ----------------------------------------------------------

long FiscalService::GetData(long item, long* optArgs, BSTR* data) {
  Outcome o = Ready();
  if (o && (item < cmd::kDataCurrentTotal || item > cmd::kDataFirmware)) o = Illegal();
  ecrcmd::Answer answer;
  if (o) o = Query(cmd::Build(cmd::kGetData, {N(item)}), &answer);
  if (!o) return Done(o);
  std::string value = answer.fields[0];
  int64_t cents = 0;
  const bool isAmount = item == cmd::kDataCurrentTotal || item == cmd::kDataDailyTotal ||
                        item == cmd::kDataRefunds || item == cmd::kDataNotPaid ||
                        item == cmd::kDataVoids || item == cmd::kDataGrandTotal;
  if (isAmount && cmd::ParseNumber(value, &cents)) value = Money(cents);
  (void)optArgs;
  SetOut(data, Wide(value));
  return Done(o);
}

long FiscalService::GetDate(BSTR* date) {
  Outcome o = Ready();
  ecrcmd::Answer answer;
  if (o) o = Query(std::string(1, cmd::kGetDate), &answer);
  if (o) SetOut(date, Wide(answer.fields[0]));
  return Done(o);
}

long FiscalService::GetTotalizer(long vatId, long optArgs, BSTR* data) {
  Outcome o = Ready();
  if (o && (vatId < 0 || vatId > cmd::kVatRates)) o = Extended(OPOS_EFPTR_BAD_VAT);
  ecrcmd::Answer answer;
  if (o) o = Query(cmd::Build(cmd::kGetTotalizer, {N(vatId), N(optArgs)}), &answer);
  int64_t cents = 0;
  if (o && !cmd::ParseNumber(answer.fields[0], &cents)) o = Outcome{OPOS_E_FAILURE, 0};
  if (o) SetOut(data, Wide(Money(cents)));
  return Done(o);
}

long FiscalService::GetVatEntry(long vatId, long, long* vatRate) {
  Outcome o = Ready();
  if (o && (vatId < 1 || vatId > cmd::kVatRates)) o = Extended(OPOS_EFPTR_BAD_VAT);
  ecrcmd::Answer answer;
  if (o) o = Query(cmd::Build(cmd::kGetVatRate, {N(vatId)}), &answer);
  int64_t rate = 0;
  if (o && !cmd::ParseNumber(answer.fields[0], &rate)) o = Outcome{OPOS_E_FAILURE, 0};
  if (o && vatRate) *vatRate = static_cast<long>(rate);
  return Done(o);
}

// --- Asynchronous output and events ------------------------------------------

void FiscalService::PostRun() {
  if (runPosted_ || !window_) return;
  runPosted_ = PostMessageW(window_.get(), kRunMessage, 0, 0) != FALSE;
}

void FiscalService::OnWindowMessage(UINT message, WPARAM, LPARAM lParam) {
  owner_->AddRef();  // an event handler may close and release us
  if (message == kRunMessage) {
    runPosted_ = false;
    RunQueue();
  } else if (message == kNetMessage && link_.IsOpen()) {
    SetPower((lParam & kLineFaultBit) == 0);
  }
  owner_->Release();
}

void FiscalService::RunQueue() {
  if (running_ || inTransaction_) return;
  running_ = true;
  while (enabled_ && !queue_.empty() && !errorPending_) {
    const Job job = queue_.front();
    ecrcmd::Answer answer;
    const Outcome o = Transact(job.command, &answer);
    if (!enabled_ || queue_.empty()) break;  // disabled or cleared meanwhile
    if (o) {
      queue_.pop_front();
      Fire(Event{Event::kOutputComplete, job.outputId, 0});
      continue;
    }
    errorPending_ = true;
    errorOutId_ = job.outputId;
    errorState_ = job.stateBefore;
    errorLevel_ = FPTR_EL_RECOVERABLE;
    errorStation_ = FPTR_S_RECEIPT;
    Done(o);
    // The answer (now, or when events thaw) decides; a retry comes back
    // through the message queue, so the application's thread stays live.
    Fire(Event{Event::kError, o.code, o.code == OPOS_E_EXTENDED ? o.extended : 0});
    break;
  }
  running_ = false;
  if (enabled_ && queue_.empty() && !errorPending_ && flagWhenIdle_) {
    flagWhenIdle_ = false;
    Fire(Event{Event::kStatus, FPTR_SUE_IDLE, 0});
  }
}

void FiscalService::Fire(const Event& e) {
  held_.push_back(e);
  if (!Frozen()) DeliverHeld();
}

void FiscalService::DeliverHeld() {
  if (delivering_) return;  // the outer delivery goes on with the rest, in order
  delivering_ = true;
  while (!Frozen() && !held_.empty() && open_) {
    const Event e = held_.front();
    held_.pop_front();
    Deliver(e);
  }
  delivering_ = false;
}

void FiscalService::Deliver(const Event& e) {
  VARIANT args[4];
  for (VARIANT& v : args) {
    VariantInit(&v);
    v.vt = VT_I4;
  }
  switch (e.kind) {
    case Event::kStatus:
      args[0].lVal = e.value;
      CallControl(statusDispid_, args, 1);
      return;
    case Event::kOutputComplete:
      args[0].lVal = e.value;
      CallControl(outputDispid_, args, 1);
      return;
    case Event::kError: {
      // The application answers in its handler; we propose a retry.
      long response = OPOS_ER_RETRY;
      args[0].vt = VT_BYREF | VT_I4;
      args[0].plVal = &response;
      args[1].lVal = OPOS_EL_OUTPUT;
      args[2].lVal = e.extended;
      args[3].lVal = e.value;
      CallControl(errorDispid_, args, 4);
      if (!errorPending_) return;  // cleared from the handler
      errorPending_ = false;
      if (response == OPOS_ER_RETRY) {
        PostRun();
      } else {
        // Clear: the rest of the output goes; the printer's state is read
        // again, since queued operations had moved the model on.
        ClearQueue();
        if (enabled_) Resync();
      }
      return;
    }
  }
}

void FiscalService::CallControl(DISPID dispid, VARIANT* argsLastFirst, UINT count) {
  if (!control_ || dispid == DISPID_UNKNOWN) return;
  kr::ComPtr<IDispatch> control = control_;  // held across the call
  DISPPARAMS params{argsLastFirst, nullptr, count, 0};
  control->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                  nullptr);
}

}  // namespace kso
