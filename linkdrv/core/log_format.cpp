#include "log_format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace linkdrv {
namespace {

constexpr uint8_t kFrameEscape = 0x10;  // a header byte of this value is sent twice
constexpr int kDumpBytesPerLine = 16;
constexpr size_t kDumpHexColumns = 50;

// A line that silently stops growing at kLogLineMax characters.
class Line {
 public:
  void Append(const char* text, size_t length) {
    size_t room = kLogLineMax - length_;
    if (length > room) length = room;
    std::memcpy(buffer_ + length_, text, length);
    length_ += length;
    buffer_[length_] = '\0';
  }
  void Append(const char* text) { Append(text, std::strlen(text)); }
  void Spaces(size_t count) {
    while (count-- > 0 && length_ < kLogLineMax) buffer_[length_++] = ' ';
    buffer_[length_] = '\0';
  }
  void Format(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char part[kLogLineMax + 1];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(part, sizeof part, format, args);
    va_end(args);
    if (n > 0) Append(part, static_cast<size_t>(n) < sizeof part ? n : sizeof part - 1);
  }
  size_t length() const { return length_; }
  void Write(LogLineSink& sink) const { sink.WriteLine(buffer_, length_); }

 private:
  char buffer_[kLogLineMax + 1] = {};
  size_t length_ = 0;
};

char Printable(uint8_t b) {
  return b < 0x20 ? '.' : static_cast<char>(b);
}

// " (Id=.. Code=. Len=..)": Id is byte 2 (a host-PC frame's sequence
// number), the code follows three header bytes, and every 0x10 among the
// sequence number and those header bytes counts twice. Positions past the
// bytes given read as absent.
void AppendFrameSummary(Line& line, const uint8_t* bytes, unsigned count) {
  const unsigned shownCount = count;
  if (!bytes) count = 0;
  unsigned id = count > 2 ? bytes[2] : 0;
  unsigned pos = 2;
  for (int field = 0; field < 4 && pos < count; ++field) pos += bytes[pos] == kFrameEscape ? 2 : 1;
  char code = pos < count ? Printable(bytes[pos]) : '.';
  line.Format(" (Id=%u Code=%c Len=%u)", id, code, shownCount);
}

void WriteDump(size_t lead, const uint8_t* bytes, unsigned count, LogLineSink& sink) {
  for (unsigned start = 0; start < count; start += kDumpBytesPerLine) {
    unsigned n = count - start < kDumpBytesPerLine ? count - start : kDumpBytesPerLine;
    Line line;
    line.Spaces(lead);
    size_t hexStart = line.length();
    for (unsigned i = 0; i < n; ++i) line.Format("%02X ", bytes[start + i]);
    size_t hexWidth = line.length() - hexStart;
    if (hexWidth < kDumpHexColumns) line.Spaces(kDumpHexColumns - hexWidth);
    char text[kDumpBytesPerLine];
    for (unsigned i = 0; i < n; ++i) text[i] = Printable(bytes[start + i]);
    line.Append(text, n);
    line.Write(sink);
  }
}

}  // namespace

void FormatLogEntry(int& indent, int logLevel, const LogClock& c, const LogRecord& e,
                    LogLineSink& sink) {
  static const char kStars[] = "**************************************************";
  const bool frame = (e.flags & (kLogFrame | kLogMessage)) != 0;
  const bool haveBytes = e.bytes != nullptr && e.count > 0;

  if (e.flags & kLogBanner) sink.WriteLine(kStars, sizeof kStars - 1);

  Line prefix;
  if (e.flags & kLogBanner) {
    prefix.Format("%02d/%02d/%0d %02d:%02d:%02d:%03d:%01d:%02d ", c.day, c.month, c.year, c.hour,
                  c.minute, c.second, c.millisecond, e.kind, e.ecrNumber);
  } else {
    prefix.Format("%02d:%02d:%02d:%03d:%01d:%02d ", c.hour, c.minute, c.second, c.millisecond,
                  e.kind, e.ecrNumber);
  }

  if (e.kind == kLogCallerLine) {
    indent = 0;
    sink.WriteLine("", 0);
  }
  if ((e.flags & kLogEnd) && indent > 0) --indent;

  Line main = prefix;
  main.Spaces(static_cast<size_t>(indent));
  const char* text = e.text ? e.text : "";
  if (e.kind == kLogCallerLine) {
    main.Format("SOURCE LINE = '%s'", text);
  } else {
    main.Append(text);
  }
  if (e.flags & kLogResult) {
    main.Format(" Result-Code=%d", e.result);
    if ((e.flags & kLogStatus) && e.result == 0 && haveBytes)
      main.Format(" Ecr-Status=%Xh", e.bytes[0]);
    if ((e.flags & kLogStatusEx) && e.result == 0 && haveBytes) {
      main.Append(" Ecr-Status-Ex=");
      for (unsigned i = 0; i < e.count && main.length() < kLogLineMax; ++i)
        main.Format("%Xh ", e.bytes[i]);
    }
  }
  if (frame) AppendFrameSummary(main, e.bytes, e.count);
  main.Write(sink);

  if (e.flags & kLogBanner) sink.WriteLine(kStars, sizeof kStars - 1);
  if (frame && logLevel == 1 && haveBytes) {
    WriteDump(prefix.length() + static_cast<size_t>(indent > 0 ? indent : 0) + 2, e.bytes, e.count,
              sink);
  }

  if (e.flags & kLogStart) ++indent;
  if (e.kind == kLogCallerLine) ++indent;
}

}  // namespace linkdrv
