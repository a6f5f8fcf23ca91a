// kerunel-cli.exe: drives the Kerunel control like an application does, for
// smoke tests of real printers and for the demo.
//
//   kerunel-cli [options] SCRIPT      runs a script file ("-": standard input)
//   kerunel-cli [options] -c LINE...  runs the given lines
//
// Options:
//   --module PATH   create the control from this Kerunel.ocx instead of the
//                   registered class
//   --keep-going    go on after a call that failed unexpectedly
//
// A script holds one line per step; '#' starts a comment. Steps:
//   Method arg...  [=> EXPECTED]   an OPOS method, arguments in its order
//   get Property                   prints a property
//   set Property value [=> ...]    writes a property (then checks ResultCode)
//   wait Event|idle [ms]           pumps until the event arrives (OutputCompleteEvent,
//                                  StatusUpdateEvent, ErrorEvent, DirectIOEvent) or
//                                  the device is idle; default 10000 ms
//   sleep ms                       pumps for a while
//   onerror retry|clear|propose    the answer to the next error events
// Arguments: numbers, amounts as decimals (2.50), strings as words or in
// double quotes ("Bread roll", \" inside), booleans as 0/1/true/false; a
// by-reference argument gives its initial value and its value after the call
// is printed. EXPECTED is a result code, a result and an extended code
// (114/207), their names, or "any"; a method without one must succeed.
//
// Every call's result is printed with its name (and the extended code for
// OPOS_E_EXTENDED), every event as it arrives. The exit status is 0 when
// every step went as expected, 1 when one did not, 2 for a usage, script or
// set-up error.
#include <windows.h>

#include <algorithm>
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

bool ParseLong(const std::string& s, long* value) {
  if (EqualsNoCase(s, "true")) {
    *value = 1;
    return true;
  }
  if (EqualsNoCase(s, "false")) {
    *value = 0;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 0);
  if (s.empty() || *end || errno) return false;
  *value = v;
  return true;
}

// "2.50" as currency (x 10000); at most four decimals.
bool ParseCurrency(const std::string& s, int64_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int64_t whole = 0, fraction = 0;
  int digits = 0, decimals = -1;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '.' && decimals < 0) {
      decimals = 0;
    } else if (c >= '0' && c <= '9' && digits < 15 && decimals < 4) {
      if (decimals < 0) {
        whole = whole * 10 + (c - '0');
      } else {
        fraction = fraction * 10 + (c - '0');
        ++decimals;
      }
      ++digits;
    } else {
      return false;
    }
  }
  if (digits == 0) return false;
  for (int d = decimals < 0 ? 0 : decimals; d < 4; ++d) fraction *= 10;
  *value = (whole * 10000 + fraction) * (negative ? -1 : 1);
  return true;
}

// A result or extended code by number or name.
bool ParseCode(const std::string& s, long* code) {
  if (ParseLong(s, code)) return true;
  for (const opos::CodeName& c : opos::kResultCodeNames) {
    if (EqualsNoCase(s, c.name)) return *code = c.value, true;
  }
  for (const opos::CodeName& c : opos::kExtendedCodeNames) {
    if (EqualsNoCase(s, c.name)) return *code = c.value, true;
  }
  return false;
}

struct Expectation {
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

  // Runs one line; returns false when the run must stop.
  bool Line(const std::string& line, int number) {
    std::vector<Word> words;
    std::string why;
    Expectation expect;
    if (!SplitLine(line, &words, &why) || !TakeExpectation(&words, &expect, &why)) {
      return SetupError(number, why);
    }
    if (words.empty()) return true;
    std::printf("> %s\n", Trim(line).c_str());
    std::fflush(stdout);
    const std::string& verb = words[0].text;
    bool ok;
    if (EqualsNoCase(verb, "get")) {
      ok = Get(words, number);
    } else if (EqualsNoCase(verb, "set")) {
      ok = Set(words, expect, number);
    } else if (EqualsNoCase(verb, "wait")) {
      ok = Wait(words, number);
    } else if (EqualsNoCase(verb, "sleep")) {
      long ms = 0;
      if (words.size() != 2 || !ParseLong(words[1].text, &ms))
        return SetupError(number, "sleep MS");
      ControlClient::PumpUntil([] { return false; }, ms);
      ok = true;
    } else if (EqualsNoCase(verb, "onerror")) {
      ok = OnError(words, number);
    } else {
      ok = Method(words, expect, number);
    }
    ControlClient::Pump();
    return ok || (keepGoing_ && status_ != kExitUsage);
  }

  int Status() const { return status_; }

 private:
  static std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r");
    size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
  }

  bool SetupError(int line, const std::string& why) {
    std::fprintf(stderr, "line %d: %s\n", line, why.c_str());
    status_ = kExitUsage;
    return false;
  }

  bool Unexpected(const std::string& what) {
    std::printf("  UNEXPECTED: %s\n", what.c_str());
    std::fflush(stdout);
    if (status_ == kExitOk) status_ = kExitUnexpected;
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

  bool Method(std::vector<Word>& words, const Expectation& expect, int number) {
    std::string name = words[0].text;
    if (EqualsNoCase(name, "Release")) name = "Release_";
    const kr::Member* m = kr::FindMemberByName(name.c_str());
    if (!m || m->isProperty || m->type != VT_I4) {
      return SetupError(number, "'" + name + "' is not a method of the control");
    }
    if (words.size() - 1 != m->paramCount) {
      return SetupError(number, name + " takes " + std::to_string(m->paramCount) +
                                    (m->paramCount == 1 ? " argument" : " arguments"));
    }
    Args args;
    std::vector<long> numbers(m->paramCount, 0);
    std::vector<BSTR> texts(m->paramCount, nullptr);  // by-reference strings
    auto freeTexts = kr::MakeScopeGuard([&texts] {
      for (BSTR b : texts) SysFreeString(b);
    });
    for (UINT i = 0; i < m->paramCount; ++i) {
      const Word& w = words[i + 1];
      const kr::MemberParam& p = m->params[i];
      long n = 0;
      int64_t cy = 0;
      bool ok = true;
      switch (p.type) {
        case VT_I4:
        case VT_BOOL:
          ok = ParseLong(w.text, &n);
          if (p.type == VT_I4)
            args.Long(n);
          else
            args.Bool(n != 0);
          break;
        case VT_CY:
          ok = ParseCurrency(w.text, &cy);
          args.Currency(cy);
          break;
        case VT_BSTR:
          args.Text(Widen(w.text));
          break;
        case VT_BYREF | VT_I4:
          ok = ParseLong(w.text, &numbers[i]);
          args.LongRef(&numbers[i]);
          break;
        case VT_BYREF | VT_BSTR:
          texts[i] = SysAllocString(Widen(w.text).c_str());
          args.TextRef(&texts[i]);
          break;
      }
      if (!ok) return SetupError(number, std::string(p.name) + ": '" + w.text + "' is not a value");
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
    return Check(code, expect);
  }

  bool Get(const std::vector<Word>& words, int number) {
    const kr::Member* m = words.size() == 2 ? kr::FindMemberByName(words[1].text.c_str()) : nullptr;
    if (!m || !m->isProperty) return SetupError(number, "get PROPERTY");
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

  bool Set(const std::vector<Word>& words, const Expectation& expect, int number) {
    const kr::Member* m = words.size() == 3 ? kr::FindMemberByName(words[1].text.c_str()) : nullptr;
    long value = 0;
    if (!m || !m->isProperty || !ParseLong(words[2].text, &value)) {
      return SetupError(number, "set PROPERTY VALUE");
    }
    if (FAILED(client_.Set(m->name, value))) return Unexpected("the property could not be written");
    return Check(client_.Get("ResultCode"), expect);
  }

  bool Wait(const std::vector<Word>& words, int number) {
    long ms = kDefaultWaitMs;
    if (words.size() < 2 || words.size() > 3 ||
        (words.size() == 3 && !ParseLong(words[2].text, &ms))) {
      return SetupError(number, "wait EVENT|idle [MS]");
    }
    const std::string& what = words[1].text;
    if (EqualsNoCase(what, "idle")) {
      auto idle = [this] { return client_.Get("State") == opos::OPOS_S_IDLE; };
      return ControlClient::PumpUntil(idle, ms) ? true
                                                : Unexpected("the device did not become idle");
    }
    DISPID dispid = 0;
    for (DISPID d = 1; d <= 4; ++d) {
      if (EqualsNoCase(what, kcli::EventName(d))) dispid = d;
    }
    if (dispid == 0) return SetupError(number, "unknown event '" + what + "'");
    // Each wait takes one event of the kind; one that came during an
    // earlier step counts.
    auto arrived = [this, dispid] { return client_.Count(dispid) > consumed_[dispid]; };
    if (!ControlClient::PumpUntil(arrived, ms)) return Unexpected(what + " did not come in time");
    ++consumed_[dispid];
    return true;
  }

  bool OnError(const std::vector<Word>& words, int number) {
    if (words.size() == 2 && EqualsNoCase(words[1].text, "retry")) {
      errorAnswer_ = opos::OPOS_ER_RETRY;
    } else if (words.size() == 2 && EqualsNoCase(words[1].text, "clear")) {
      errorAnswer_ = opos::OPOS_ER_CLEAR;
    } else if (words.size() == 2 && EqualsNoCase(words[1].text, "propose")) {
      errorAnswer_ = -1;
    } else {
      return SetupError(number, "onerror retry|clear|propose");
    }
    return true;
  }

  ControlClient client_;
  bool keepGoing_;
  int status_ = kExitOk;
  long errorAnswer_ = -1;                 // -1: leave the proposed answer
  size_t consumed_[5] = {0, 0, 0, 0, 0};  // events of each kind taken by waits
};

int Usage() {
  std::fprintf(stderr,
               "usage: kerunel-cli [--module PATH] [--keep-going] SCRIPT|-\n"
               "       kerunel-cli [--module PATH] [--keep-going] -c LINE [-c LINE]...\n"
               "       kerunel-cli device list|show|add|set|remove|test ... (device --help)\n");
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
      return Usage();
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
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!runner.Line(lines[i], static_cast<int>(i + 1))) break;
  }
  return runner.Status();
}
