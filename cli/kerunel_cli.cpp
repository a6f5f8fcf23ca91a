// kerunel-cli.exe: drives the Kerunel control like an application does, for
// smoke tests of real printers and for the demo.
//
//   kerunel-cli [options] SCRIPT      runs a script file ("-": standard input)
//   kerunel-cli [options] -c LINE...  runs the given lines
//
// The whole script is parsed and checked (methods and properties, argument
// counts and types, numbers and amounts in range, expectations) before the
// control is even created: a script with a bad line runs nothing. The
// grammar and the exit statuses are in --help and docs/kerunel-cli.md.
//
// Every call's result is printed with its name (and the extended code for
// OPOS_E_EXTENDED), every event as it arrives. The exit status is 0 when
// every step went as expected, 1 when one did not, 2 for a usage, script or
// set-up error.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "control_client.h"
#include "device_command.h"
#include "opos.h"

namespace {

using kcli::Args;
using kcli::ControlClient;

constexpr int kExitOk = 0, kExitUnexpected = 1, kExitUsage = 2;
constexpr int kDefaultWaitMs = 10000;

std::wstring Widen(const std::string& s) {
  if (s.empty()) return L"";
  std::wstring out(s.size(), L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0],
                              static_cast<int>(out.size()));
  out.resize(n > 0 ? n : 0);
  return out;
}

std::string Narrow(const std::wstring& s) {
  if (s.empty()) return "";
  std::string out(s.size() * 3, '\0');
  int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0],
                              static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(n > 0 ? n : 0);
  return out;
}

bool EqualsNoCase(const std::string& a, const char* b) {
  return _stricmp(a.c_str(), b) == 0;
}

// One word of a line: its text and whether it was quoted.
struct Word {
  std::string text;
  bool quoted;
};

// Splits a line into words; a '#' outside quotes ends it. False with a
// reason for an unclosed quote.
bool SplitLine(const std::string& line, std::vector<Word>* words, std::string* why) {
  words->clear();
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      std::string text;
      ++i;
      bool closed = false;
      while (i < line.size()) {
        if (line[i] == '\\' && i + 1 < line.size()) {
          text += line[i + 1];
          i += 2;
        } else if (line[i] == '"') {
          closed = true;
          ++i;
          break;
        } else {
          text += line[i++];
        }
      }
      if (!closed) {
        *why = "a quote is not closed";
        return false;
      }
      words->push_back({text, true});
    } else {
      size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
      words->push_back({line.substr(start, i - start), false});
    }
  }
  return true;
}

// A decimal whole number (an optional '-', then digits) that fits a long,
// or true/false; false with the reason.
bool ParseLong(const std::string& s, long* value, std::string* why) {
  if (EqualsNoCase(s, "true") || EqualsNoCase(s, "false")) {
    *value = EqualsNoCase(s, "true") ? 1 : 0;
    return true;
  }
  const size_t start = !s.empty() && s[0] == '-' ? 1 : 0;
  if (start == s.size() ||
      !std::all_of(s.begin() + start, s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    *why = "'" + s + "' is not a decimal whole number";
    return false;
  }
  int64_t v = 0;
  for (size_t i = start; i < s.size(); ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > 2147483648LL) break;
  }
  if (start == 1) v = -v;
  if (v < -2147483647LL - 1 || v > 2147483647LL) {
    *why = "'" + s + "' is out of range (-2147483648 to 2147483647)";
    return false;
  }
  *value = static_cast<long>(v);
  return true;
}

// "2.50" as OPOS currency (the amount times 10000): an optional sign,
// decimal digits, at most four decimals, within what currency holds; false
// with the reason.
bool ParseCurrency(const std::string& s, int64_t* value, std::string* why) {
  constexpr int64_t kMaxWhole = INT64_MAX / 10000;  // 922337203685477
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int64_t whole = 0, fraction = 0;
  int digits = 0, decimals = -1;
  bool tooLarge = false;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '.' && decimals < 0) {
      decimals = 0;
    } else if (c >= '0' && c <= '9' && decimals < 0) {
      tooLarge = tooLarge || whole > (kMaxWhole - (c - '0')) / 10;
      if (!tooLarge) whole = whole * 10 + (c - '0');
      ++digits;
    } else if (c >= '0' && c <= '9' && decimals < 4) {
      fraction = fraction * 10 + (c - '0');
      ++decimals;
      ++digits;
    } else {
      *why = "'" + s + "' is not an amount (decimal, at most four decimals: 2.50)";
      return false;
    }
  }
  if (digits == 0) {
    *why = "'" + s + "' is not an amount (decimal, at most four decimals: 2.50)";
    return false;
  }
  for (int d = decimals < 0 ? 0 : decimals; d < 4; ++d) fraction *= 10;
  if (tooLarge || whole * 10000 > INT64_MAX - fraction) {
    *why = "'" + s + "' is out of range (an amount holds at most 922337203685477.5807)";
    return false;
  }
  *value = (whole * 10000 + fraction) * (negative ? -1 : 1);
  return true;
}

// A result or extended code by decimal number or name.
bool ParseCode(const std::string& s, long* code) {
  std::string why;
  if (ParseLong(s, code, &why)) return true;
  for (const opos::CodeName& c : opos::kResultCodeNames) {
    if (EqualsNoCase(s, c.name)) return *code = c.value, true;
  }
  for (const opos::CodeName& c : opos::kExtendedCodeNames) {
    if (EqualsNoCase(s, c.name)) return *code = c.value, true;
  }
  return false;
}

struct Expectation {
  bool given = false;
  bool any = false;
  long code = 0;
  long extended = -1;  // -1: not checked
};

// Reads "=> CODE[/EXTENDED]" off the end of words.
bool TakeExpectation(std::vector<Word>* words, Expectation* e, std::string* why) {
  for (size_t i = 0; i < words->size(); ++i) {
    if ((*words)[i].quoted || (*words)[i].text != "=>") continue;
    if (i + 2 != words->size()) {
      *why = "'=>' takes one expected result";
      return false;
    }
    std::string text = (*words)[i + 1].text;
    words->resize(i);
    e->given = true;
    if (EqualsNoCase(text, "any")) {
      e->any = true;
      return true;
    }
    size_t slash = text.find('/');
    if (!ParseCode(text.substr(0, slash), &e->code) ||
        (slash != std::string::npos && !ParseCode(text.substr(slash + 1), &e->extended))) {
      *why = "unknown expected result '" + text + "'";
      return false;
    }
    return true;
  }
  return true;
}

std::string CodeText(long code) {
  const char* name = opos::ResultCodeName(code);
  return std::to_string(code) + " " + (name ? name : "(not a result code)");
}

std::string Quote(const std::wstring& s) {
  return "\"" + Narrow(s) + "\"";
}

// One line of a script, parsed and checked before anything runs.
struct Step {
  enum Kind { kNone, kMethod, kGet, kSet, kWait, kSleep, kOnError } kind = kNone;
  int line = 0;
  std::string text;  // the line as written
  const kr::Member* member = nullptr;
  std::vector<long> numbers;       // per parameter: longs and booleans
  std::vector<int64_t> amounts;    // per parameter: currency
  std::vector<std::string> texts;  // per parameter: strings
  long value = 0;                  // set: the value; wait, sleep: ms; onerror: the answer
  DISPID event = 0;                // wait: the event, 0 for idle
  Expectation expect;
};

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  size_t b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Parses and checks one line: false with the reason. An empty line or a
// comment gives a step of kind kNone.
bool ParseStep(const std::string& line, Step* step, std::string* why) {
  std::vector<Word> words;
  if (!SplitLine(line, &words, why) || !TakeExpectation(&words, &step->expect, why)) return false;
  step->text = Trim(line);
  if (words.empty()) {
    if (step->expect.given) *why = "'=>' needs a call before it";
    return !step->expect.given;
  }
  const std::string& verb = words[0].text;
  const bool expectable = !EqualsNoCase(verb, "get") && !EqualsNoCase(verb, "wait") &&
                          !EqualsNoCase(verb, "sleep") && !EqualsNoCase(verb, "onerror");
  if (step->expect.given && !expectable) {
    *why = verb + " gives no result to expect";
    return false;
  }
  if (EqualsNoCase(verb, "get") || EqualsNoCase(verb, "set")) {
    const bool set = EqualsNoCase(verb, "set");
    step->kind = set ? Step::kSet : Step::kGet;
    if (words.size() != (set ? 3u : 2u)) {
      *why = set ? "set PROPERTY VALUE" : "get PROPERTY";
      return false;
    }
    step->member = kr::FindMemberByName(words[1].text.c_str());
    if (!step->member || !step->member->isProperty) {
      *why = "'" + words[1].text + "' is not a property of the control";
      return false;
    }
    if (!set) return true;
    if (!step->member->writable || step->member->type == VT_BSTR) {
      *why = std::string(step->member->name) + " cannot be set";
      return false;
    }
    if (!ParseLong(words[2].text, &step->value, why)) {
      *why = std::string(step->member->name) + ": " + *why;
      return false;
    }
    return true;
  }
  if (EqualsNoCase(verb, "wait")) {
    step->kind = Step::kWait;
    step->value = kDefaultWaitMs;
    if (words.size() < 2 || words.size() > 3 ||
        (words.size() == 3 && (!ParseLong(words[2].text, &step->value, why) || step->value < 0))) {
      *why = "wait EVENT|idle [MS]";
      return false;
    }
    if (EqualsNoCase(words[1].text, "idle")) return true;
    for (DISPID d = 1; d <= 4; ++d) {
      if (EqualsNoCase(words[1].text, kcli::EventName(d))) step->event = d;
    }
    if (step->event == 0) *why = "unknown event '" + words[1].text + "'";
    return step->event != 0;
  }
  if (EqualsNoCase(verb, "sleep")) {
    step->kind = Step::kSleep;
    if (words.size() != 2 || !ParseLong(words[1].text, &step->value, why) || step->value < 0) {
      *why = "sleep MS";
      return false;
    }
    return true;
  }
  if (EqualsNoCase(verb, "onerror")) {
    step->kind = Step::kOnError;
    const std::string answer = words.size() == 2 ? words[1].text : "";
    step->value = EqualsNoCase(answer, "retry")     ? opos::OPOS_ER_RETRY
                  : EqualsNoCase(answer, "clear")   ? opos::OPOS_ER_CLEAR
                  : EqualsNoCase(answer, "propose") ? -1
                                                    : 0;
    if (step->value == 0) *why = "onerror retry|clear|propose";
    return step->value != 0;
  }
  step->kind = Step::kMethod;
  std::string name = verb;
  if (EqualsNoCase(name, "Release")) name = "Release_";
  const kr::Member* m = kr::FindMemberByName(name.c_str());
  if (!m || m->isProperty || m->type != VT_I4) {
    *why = "'" + name + "' is not a method of the control";
    return false;
  }
  step->member = m;
  if (words.size() - 1 != m->paramCount) {
    *why = std::string(m->name) + " takes " + std::to_string(m->paramCount) +
           (m->paramCount == 1 ? " argument" : " arguments");
    return false;
  }
  step->numbers.assign(m->paramCount, 0);
  step->amounts.assign(m->paramCount, 0);
  step->texts.assign(m->paramCount, std::string());
  for (UINT i = 0; i < m->paramCount; ++i) {
    const Word& w = words[i + 1];
    const VARTYPE type = m->params[i].type;
    bool ok = true;
    if (type == VT_I4 || type == VT_BOOL || type == (VT_BYREF | VT_I4)) {
      ok = ParseLong(w.text, &step->numbers[i], why);
    } else if (type == VT_CY) {
      ok = ParseCurrency(w.text, &step->amounts[i], why);
    } else {
      step->texts[i] = w.text;
    }
    if (!ok) {
      *why = std::string(m->params[i].name) + ": " + *why;
      return false;
    }
  }
  return true;
}

class Runner {
 public:
  explicit Runner(bool keepGoing) : keepGoing_(keepGoing) {
    client_.onEvent = [](const kcli::EventRecord& e) {
      std::printf("  event %s\n", e.Describe().c_str());
      std::fflush(stdout);
    };
    client_.onError = [this](const kcli::EventRecord& e) {
      return errorAnswer_ < 0 ? e.response : errorAnswer_;
    };
  }

  HRESULT Create(const wchar_t* module) { return client_.Create(module); }

  // Runs one step; returns false when the run must stop.
  bool Run(const Step& step) {
    if (step.kind == Step::kNone) return true;
    std::printf("> %s\n", step.text.c_str());
    std::fflush(stdout);
    bool ok = true;
    switch (step.kind) {
      case Step::kGet:
        ok = Get(step);
        break;
      case Step::kSet:
        ok = SUCCEEDED(client_.Set(step.member->name, step.value))
                 ? Check(client_.Get("ResultCode"), step.expect)
                 : Unexpected("the property could not be written");
        break;
      case Step::kWait:
        ok = Wait(step);
        break;
      case Step::kSleep:
        ControlClient::PumpUntil([] { return false; }, step.value);
        break;
      case Step::kOnError:
        errorAnswer_ = step.value;
        break;
      default:
        ok = Method(step);
        break;
    }
    ControlClient::Pump();
    return ok || keepGoing_;
  }

  int Status() const { return status_; }

 private:
  bool Unexpected(const std::string& what) {
    std::printf("  UNEXPECTED: %s\n", what.c_str());
    std::fflush(stdout);
    status_ = kExitUnexpected;
    return false;
  }

  // Checks a result against the expectation (success when none was given).
  bool Check(long code, const Expectation& expect) {
    const long extended = code == opos::OPOS_E_EXTENDED ? client_.Get("ResultCodeExtended") : 0;
    std::string text = "  " + CodeText(code);
    if (code == opos::OPOS_E_EXTENDED) {
      const char* name = opos::ExtendedCodeName(extended);
      text += ", extended " + std::to_string(extended) + " " + (name ? name : "");
    }
    std::printf("%s\n", text.c_str());
    if (code != opos::OPOS_SUCCESS) {
      std::wstring error = client_.GetText("ErrorString");
      if (!error.empty() && error != L"[Error]")
        std::printf("  ErrorString %s\n", Quote(error).c_str());
    }
    std::fflush(stdout);
    if (expect.any) return true;
    if (code != expect.code || (expect.extended >= 0 && extended != expect.extended)) {
      return Unexpected("expected " + CodeText(expect.code) +
                        (expect.extended >= 0 ? "/" + std::to_string(expect.extended) : ""));
    }
    return true;
  }

  bool Method(const Step& step) {
    const kr::Member* m = step.member;
    Args args;
    std::vector<long> numbers = step.numbers;         // by-reference longs live here
    std::vector<BSTR> texts(m->paramCount, nullptr);  // and by-reference strings
    auto freeTexts = kr::MakeScopeGuard([&texts] {
      for (BSTR b : texts) SysFreeString(b);
    });
    for (UINT i = 0; i < m->paramCount; ++i) {
      switch (m->params[i].type) {
        case VT_I4:
          args.Long(numbers[i]);
          break;
        case VT_BOOL:
          args.Bool(numbers[i] != 0);
          break;
        case VT_CY:
          args.Currency(step.amounts[i]);
          break;
        case VT_BYREF | VT_I4:
          args.LongRef(&numbers[i]);
          break;
        case VT_BYREF | VT_BSTR:
          texts[i] = SysAllocString(Widen(step.texts[i]).c_str());
          args.TextRef(&texts[i]);
          break;
        default:
          args.Text(Widen(step.texts[i]));
          break;
      }
    }
    HRESULT hr = S_OK;
    const long code = client_.Call(m->name, args, &hr);
    if (FAILED(hr)) {
      char text[64];
      std::snprintf(text, sizeof text, "the call failed (0x%08lX)", static_cast<unsigned long>(hr));
      return Unexpected(text);
    }
    for (UINT i = 0; i < m->paramCount; ++i) {
      if (m->params[i].type == (VT_BYREF | VT_I4)) {
        std::printf("  %s = %ld\n", m->params[i].name, numbers[i]);
      } else if (m->params[i].type == (VT_BYREF | VT_BSTR)) {
        BSTR b = texts[i];
        std::printf("  %s = %s\n", m->params[i].name,
                    Quote(b ? std::wstring(b, SysStringLen(b)) : L"").c_str());
      }
    }
    return Check(code, step.expect);
  }

  bool Get(const Step& step) {
    const kr::Member* m = step.member;
    HRESULT hr = S_OK;
    if (m->type == VT_BSTR) {
      std::wstring value = client_.GetText(m->name, &hr);
      if (SUCCEEDED(hr)) std::printf("  %s = %s\n", m->name, Quote(value).c_str());
    } else {
      long value = client_.Get(m->name, &hr);
      const char* label = nullptr;
      if (m->dispid == 82) label = opos::PrinterStateName(value);  // PrinterState
      if (m->dispid == 9) label = opos::ResultCodeName(value);     // ResultCode
      if (m->dispid == 10) label = opos::ExtendedCodeName(value);  // ResultCodeExtended
      if (SUCCEEDED(hr))
        std::printf("  %s = %ld%s%s\n", m->name, value, label ? " " : "", label ? label : "");
    }
    std::fflush(stdout);
    return SUCCEEDED(hr) ? true : Unexpected("the property could not be read");
  }

  bool Wait(const Step& step) {
    if (step.event == 0) {
      auto idle = [this] { return client_.Get("State") == opos::OPOS_S_IDLE; };
      return ControlClient::PumpUntil(idle, step.value)
                 ? true
                 : Unexpected("the device did not become idle");
    }
    // Each wait takes one event of the kind; one that came during an
    // earlier step counts.
    const DISPID d = step.event;
    auto arrived = [this, d] { return client_.Count(d) > consumed_[d]; };
    if (!ControlClient::PumpUntil(arrived, step.value)) {
      return Unexpected(std::string(kcli::EventName(d)) + " did not come in time");
    }
    ++consumed_[d];
    return true;
  }

  ControlClient client_;
  bool keepGoing_;
  int status_ = kExitOk;
  long errorAnswer_ = -1;                 // -1: leave the proposed answer
  size_t consumed_[5] = {0, 0, 0, 0, 0};  // events of each kind taken by waits
};

const char kUsage[] =
    "usage: kerunel-cli [--module PATH] [--keep-going] SCRIPT|-\n"
    "       kerunel-cli [--module PATH] [--keep-going] -c LINE [-c LINE]...\n"
    "       kerunel-cli device list|show|add|set|remove|test ... (device --help)\n";

const char kHelp[] =
    "Runs OPOS calls on the Kerunel control, one a line, from a script file (\"-\":\n"
    "standard input) or from -c arguments. The whole script is read and checked\n"
    "first; a script with a bad line runs nothing.\n"
    "\n"
    "  --module PATH   create the control from this Kerunel.ocx, not the registered class\n"
    "  --keep-going    go on after a step that did not go as expected\n"
    "\n"
    "Lines ('#' starts a comment):\n"
    "  Method ARG... [=> EXPECTED]    an OPOS method, arguments in its order\n"
    "  get PROPERTY                   prints a property\n"
    "  set PROPERTY VALUE [=> ...]    writes a property, then checks ResultCode\n"
    "  wait EVENT|idle [MS]           waits for an event or the idle state (10000 ms)\n"
    "  sleep MS                       waits a while\n"
    "  onerror retry|clear|propose    the answer to the next error events\n"
    "Numbers are decimal, amounts decimal with at most four decimals (2.50), strings\n"
    "words or \"quoted\", booleans 0/1/true/false. EXPECTED: a result (114), a result\n"
    "and an extended code (114/207), their names, or any; without it a call must\n"
    "succeed.\n"
    "\n"
    "Exit status: 0 every step as expected, 1 a step was not, 2 a usage, script or\n"
    "set-up error (nothing was called).\n";

int Usage() {
  std::fprintf(stderr, "%s", kUsage);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // "kerunel-cli device ...": the device keys (device_command.h).
  if (argc > 1 && std::strcmp(argv[1], "device") == 0) {
    return kcli::RunDeviceCommand(argc - 2, argv + 2);
  }
  std::wstring module;
  bool keepGoing = false;
  std::vector<std::string> lines;
  std::string script;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--module" && i + 1 < argc) {
      module = Widen(argv[++i]);
    } else if (a == "--keep-going") {
      keepGoing = true;
    } else if (a == "-c" && i + 1 < argc) {
      lines.push_back(argv[++i]);
    } else if (a == "--help" || a == "-h") {
      std::printf("%s\n%s", kUsage, kHelp);
      return kExitOk;
    } else if (script.empty() && lines.empty() && (a == "-" || a[0] != '-')) {
      script = a;
    } else {
      return Usage();
    }
  }
  if (script.empty() == lines.empty()) return Usage();
  if (!script.empty()) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (script != "-") {
      file.open(script);
      if (!file) {
        std::fprintf(stderr, "kerunel-cli: cannot read %s\n", script.c_str());
        return kExitUsage;
      }
      in = &file;
    }
    for (std::string line; std::getline(*in, line);) lines.push_back(line);
  }

  // Every line is checked before the first call: on a real printer a script
  // that stops half-way leaves a receipt open.
  std::vector<Step> steps(lines.size());
  bool bad = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string why;
    steps[i].line = static_cast<int>(i + 1);
    if (!ParseStep(lines[i], &steps[i], &why)) {
      std::fprintf(stderr, "line %d: %s\n", steps[i].line, why.c_str());
      bad = true;
    }
  }
  if (bad) {
    std::fprintf(stderr, "kerunel-cli: the script has errors; nothing was run\n");
    return kExitUsage;
  }

  kr::ComInit com;
  if (FAILED(com.result())) {
    std::fprintf(stderr, "kerunel-cli: COM could not be initialised\n");
    return kExitUsage;
  }
  Runner runner(keepGoing);
  HRESULT hr = runner.Create(module.empty() ? nullptr : module.c_str());
  if (FAILED(hr)) {
    std::fprintf(stderr,
                 "kerunel-cli: the Kerunel control cannot be created (0x%08lX); register it with "
                 "'regsvr32 Kerunel.ocx' or name it with --module\n",
                 static_cast<unsigned long>(hr));
    return kExitUsage;
  }
  for (const Step& step : steps) {
    if (!runner.Run(step)) break;
  }
  return runner.Status();
}
