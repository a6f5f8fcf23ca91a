// Layout of the protocol log: one entry becomes its asterisk lines, its
// main line and, at level 1, its hex dump lines. Windows-free so that the
// layout is tested (and fuzzed) without a file or a clock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linkdrv {

constexpr size_t kLogLineMax = 255;  // characters of one line, prefix and indent included

// Entry kinds.
enum : int { kLogLinkThread = 1, kLogExport = 2, kLogCallerLine = 3 };

// Entry flags.
enum : int {
  kLogFrame = 0x0001,     // frame summary, dump at level 1
  kLogMessage = 0x0002,   // same as kLogFrame
  kLogResult = 0x0004,    // " Result-Code=%d"
  kLogBanner = 0x0008,    // long date prefix, asterisk lines around the entry
  kLogStatus = 0x0010,    // with kLogResult: " Ecr-Status=%Xh"
  kLogStatusEx = 0x0020,  // with kLogResult: " Ecr-Status-Ex=" and "%Xh " per byte
  kLogEnd = 0x4000,       // end of an activity: indent back first
  kLogStart = 0x8000,     // start of an activity: indent after
};

struct LogClock {
  int year, month, day, hour, minute, second, millisecond;
};

struct LogRecord {
  int kind;
  int flags;
  int ecrNumber;
  const char* text;      // may be null
  const uint8_t* bytes;  // may be null
  unsigned count;
  int result;
};

class LogLineSink {
 public:
  virtual ~LogLineSink() = default;
  // One line without its line end; length <= kLogLineMax.
  virtual void WriteLine(const char* text, size_t length) = 0;
};

// Lays out one entry into sink, updating indent (the caller holds the log lock).
void FormatLogEntry(int& indent, int logLevel, const LogClock& clock, const LogRecord& entry,
                    LogLineSink& sink);

}  // namespace linkdrv
