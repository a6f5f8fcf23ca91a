#include "record_file.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <io.h>  // _commit: the C runtime's flush to the disk
#else
#include <unistd.h>
#endif

namespace ecrsim {
namespace {

// Flushes the C library's buffer and the system's to the disk.
bool FlushToDisk(std::FILE* f) {
  if (std::fflush(f) != 0) return false;
#ifdef _WIN32
  return _commit(_fileno(f)) == 0;
#else
  return fsync(fileno(f)) == 0;
#endif
}

std::string Line(const std::string& payload) {
  char crc[16];
  std::snprintf(crc, sizeof crc, "*%08X\n", RecordFile::Crc32(payload));
  return payload + crc;
}

}  // namespace

uint32_t RecordFile::Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

RecordFile::~RecordFile() {
  Close();
}

void RecordFile::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

bool RecordFile::Read(const std::string& path, std::vector<std::string>* records, size_t* dropped) {
  records->clear();
  *dropped = 0;
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::u8path(path), ec)) return !ec;
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  if (!in) return false;
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = 0;
  while (at < data.size()) {
    const size_t end = data.find('\n', at);
    if (end == std::string::npos || end - at < 9 || data[end - 9] != '*') break;
    const std::string payload = data.substr(at, end - 9 - at);
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08X", Crc32(payload));
    if (data.compare(end - 8, 8, crc) != 0) break;
    records->push_back(payload);
    at = end + 1;
  }
  *dropped = data.size() - at;
  return true;
}

bool RecordFile::Rewrite(const std::string& path, const std::vector<std::string>& records) {
  Close();
  const std::filesystem::path target = std::filesystem::u8path(path);
  std::filesystem::path aside = target;
  aside += ".new";
  std::FILE* f = std::fopen(aside.string().c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (const std::string& r : records) {
    const std::string line = Line(r);
    ok = ok && std::fwrite(line.data(), 1, line.size(), f) == line.size();
  }
  ok = FlushToDisk(f) && ok;
  std::fclose(f);
  std::error_code ec;
  if (ok) std::filesystem::rename(aside, target, ec);
  if (!ok || ec) {
    std::filesystem::remove(aside, ec);
    return false;
  }
  file_ = std::fopen(target.string().c_str(), "ab");
  path_ = path;
  return file_ != nullptr;
}

bool RecordFile::Append(const std::string& payload) {
  if (!file_) return false;
  const std::string line = Line(payload);
  return std::fwrite(line.data(), 1, line.size(), file_) == line.size() && FlushToDisk(file_);
}

}  // namespace ecrsim
