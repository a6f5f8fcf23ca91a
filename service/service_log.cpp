#include "service_log.h"

#include <cstdarg>
#include <cstdio>

#include "log_format.h"
#include "registry_settings.h"

namespace kso {
namespace {

constexpr size_t kTextMax = 230;  // what a kind 3 entry holds after its prefix

class FileSink final : public linkdrv::LogLineSink {
 public:
  explicit FileSink(HANDLE file) : file_(file) {}
  void WriteLine(const char* text, size_t length) override {
    std::string line(text, length);
    line += "\r\n";
    DWORD written = 0;
    WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }

 private:
  HANDLE file_;
};

}  // namespace

std::string LogText(const std::string& text, size_t limit) {
  std::string out;
  for (unsigned char c : text) {
    if (out.size() >= limit) {
      out += "...";
      break;
    }
    if (c < 0x20) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void ServiceLog::Configure(const std::string& linkSettings) {
  linkdrv::LinkSettings s;
  bool ok;
  if (!linkSettings.empty() && linkSettings[0] == '@') {
    ok = linkdrv::ReadInlineSettings(linkSettings.c_str() + 1, linkSettings.size() - 1, s) ==
         linkdrv::kSettingsOk;
  } else {
    const char* reason = nullptr;
    // A key without ECRIP still names its log: the driver logs why it fails.
    linkdrv::ReadLinkSettings(linkSettings.c_str(), 0, s, &reason);
    ok = true;
  }
  kr::LockGuard<kr::CriticalSection> guard(lock_);
  file_ = ok ? s.logFileName : "";
  level_.store(ok && !file_.empty() ? s.logLevel : 0);
}

void ServiceLog::AttachDriver(const linkdrv::DriverInfo* info) {
  kr::LockGuard<kr::CriticalSection> guard(lock_);
  info_ = info;
}

void ServiceLog::Write(const char* format, ...) {
  if (level_.load() == 0) return;
  char text[kTextMax + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Append(text);
}

void ServiceLog::Append(const char* text) {
  kr::LockGuard<kr::CriticalSection> guard(lock_);
  const auto writer =
      info_ ? reinterpret_cast<linkdrv::LogWriteFunction>(info_->field[linkdrv::kInfoLogWrite])
            : nullptr;
  if (writer) {
    writer(linkdrv::kLogCallerLine, 0, 1, text, nullptr, 0, 0, nullptr);
    return;
  }
  // Opened for this line only: the driver must be able to open the file
  // for its own session (it shares it for reading only).
  kr::UniqueFileHandle file(CreateFileA(file_.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;  // like the driver's log: a file that cannot be written is skipped
  SYSTEMTIME t;
  GetLocalTime(&t);
  const linkdrv::LogClock clock = {t.wYear,   t.wMonth,  t.wDay,         t.wHour,
                                   t.wMinute, t.wSecond, t.wMilliseconds};
  int indent = 0;
  FileSink sink(file.get());
  linkdrv::FormatLogEntry(indent, level_.load(), clock,
                          linkdrv::LogRecord{linkdrv::kLogCallerLine, 0, 1, text, nullptr, 0, 0},
                          sink);
}

}  // namespace kso
