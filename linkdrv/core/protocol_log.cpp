// The protocol log file: opened for appending at OpenProt, one lock for
// every entry (its asterisk and dump lines included), LogWrite published
// in DriverInfo for the caller's own lines.
#include <cstring>
#include <utility>

#include "link_core.h"
#include "log_format.h"

namespace linkdrv {
namespace {

struct ProtocolLog {
  kr::CriticalSection lock;
  kr::UniqueFileHandle file;
  std::atomic<int32_t> open{0};
  int indent = 0;
  int level = 0;
};

ProtocolLog g_log;

// Writes the text and a line end; a failed write is ignored.
class FileSink final : public LogLineSink {
 public:
  explicit FileSink(HANDLE file) : file_(file) {}
  void WriteLine(const char* text, size_t length) override {
    char line[kLogLineMax + 2];
    std::memcpy(line, text, length);
    line[length] = '\r';
    line[length + 1] = '\n';
    DWORD written = 0;
    WriteFile(file_, line, static_cast<DWORD>(length + 2), &written, nullptr);
  }

 private:
  HANDLE file_;
};

void WriteEntryLocked(const LogRecord& entry) {
  if (!g_log.open.load()) return;
  SYSTEMTIME t;
  GetLocalTime(&t);
  LogClock clock = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  FileSink sink(g_log.file.get());
  FormatLogEntry(g_log.indent, g_log.level, clock, entry, sink);
}

void WriteEmptyLineLocked() {
  if (!g_log.open.load()) return;
  FileSink(g_log.file.get()).WriteLine("", 0);
}

}  // namespace

bool OpenProtocolLog(const char* fileName, int level) {
  CloseProtocolLog(false);
  kr::LockGuard<kr::CriticalSection> guard(g_log.lock);
  kr::UniqueFileHandle file(CreateFileA(fileName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  SetFilePointer(file.get(), 0, nullptr, FILE_END);
  g_log.file = std::move(file);
  g_log.indent = 0;
  g_log.level = level;
  g_log.open.store(1);
  g_info.field[kInfoLogWrite] = reinterpret_cast<intptr_t>(&LogWrite);
  WriteEmptyLineLocked();
  WriteEntryLocked(LogRecord{kLogExport, kLogBanner, 0, "LOG OPEN", nullptr, 0, 0});
  return true;
}

void CloseProtocolLog(bool processExit) {
  // At process exit a thread that held the lock is gone: never wait for it.
  if (processExit) {
    if (!g_log.lock.TryLock()) return;
  } else {
    g_log.lock.Lock();
  }
  auto unlock = kr::MakeScopeGuard([] { g_log.lock.Unlock(); });
  if (!g_log.open.load()) return;
  WriteEntryLocked(LogRecord{kLogExport, kLogBanner, 0, "LOG CLOSE", nullptr, 0, 0});
  WriteEmptyLineLocked();
  g_info.field[kInfoLogWrite] = 0;
  g_log.open.store(0);
  g_log.file.reset();
}

void LogEntry(int kind, int flags, int ecrNumber, const char* text, const void* bytes,
              unsigned count, int result) {
  if (!g_log.open.load()) return;
  kr::LockGuard<kr::CriticalSection> guard(g_log.lock);
  WriteEntryLocked({kind, flags, ecrNumber, text, static_cast<const uint8_t*>(bytes),
                    bytes ? count : 0, result});
}

extern "C" void __cdecl LogWrite(int kind, int flags, int ecrNumber, const char* text,
                                 const void* bytes, unsigned count, int result, void*) {
  LogEntry(kind, flags, ecrNumber, text, bytes, count, result);
}

}  // namespace linkdrv
