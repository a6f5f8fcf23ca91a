// An append-only file of records that survives a power cut: the virtual
// printer's fiscal memory.
//
// Each record is one line: its payload (text without line feeds), '*', the
// CRC-32 of the payload as 8 hex digits, '\n'. A record is flushed to the
// disk before Append returns. Reading stops at the first record that is
// not whole and intact (the last one, when the power went while it was
// being written), so what was read is exactly what had been stored.
// Rewrite replaces the file by writing it aside, flushing it and renaming
// it over the old one, so a cut in the middle leaves the old file.
// No Windows headers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ecrsim {

class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Reads the intact records of path (none when it does not exist) into
  // *records and the bytes after them into *dropped. False when the file
  // exists and cannot be read.
  static bool Read(const std::string& path, std::vector<std::string>* records, size_t* dropped);

  // Makes path hold exactly these records (written aside, flushed, renamed
  // over it) and opens it for appending. False when it cannot.
  bool Rewrite(const std::string& path, const std::vector<std::string>& records);
  // Appends one record and flushes it to the disk; false when it could not.
  bool Append(const std::string& payload);
  bool IsOpen() const { return file_ != nullptr; }
  void Close();

  static uint32_t Crc32(const std::string& data);

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
};

}  // namespace ecrsim
