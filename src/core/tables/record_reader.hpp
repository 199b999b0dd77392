// Streaming reader of delimited-record table files (ecCodes element.table and
// the WMO CSV tables). The file is read through a fixed buffer, never whole.
//
// Dialect: optional UTF-8 BOM at the start; fields split at the delimiter
// byte; a record ends at LF, CR or CRLF; empty lines are skipped; a field
// starting with '"' is quoted (may hold delimiters and line breaks, '""' is one
// quote; bytes after the closing quote up to the next delimiter are appended
// as they are; an unterminated quote runs to the end of the file); a line
// starting with the comment byte is skipped whole; fields are not trimmed.
// Every record must have as many fields as the first record read (header
// included) and every returned record must be valid UTF-8.
//
// Positions in error texts:
//   record - 0-based index among the records read, header row included;
//            skipped comment and empty lines are not records;
//   line   - 1-based line on which the record starts; LF, CR and CRLF each end
//            one line, comment, empty lines and breaks inside quotes included;
//   byte   - 0-based offset of the record's first byte in the file (a BOM
//            counts, so the first record after a BOM starts at byte 3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../error.hpp"

namespace morvane {

struct RecordDialect {
  char delimiter = ',';
  int comment = -1;  // byte value, or -1 for none
  bool header = false;
};

inline constexpr RecordDialect kElementTableDialect{'|', '#', false};
inline constexpr RecordDialect kWmoCsvDialect{',', -1, true};

// Owns a file descriptor; moves hand it over.
class FileHandle {
public:
  explicit FileHandle(int fd = -1) : fd_(fd) {}
  FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

private:
  int fd_;
};

class RecordReader {
public:
  // Every error (open, read, field count, UTF-8) is a Parse error whose text
  // is the reader's own message.
  [[nodiscard]] static Result<RecordReader> open(const std::filesystem::path& path, RecordDialect dialect);


  // true: the next record is available through size()/field(); false: end of
  // file. The fields stay valid until the next call.
  [[nodiscard]] Result<bool> next();

  [[nodiscard]] std::size_t size() const { return fields_.size(); }
  [[nodiscard]] std::string_view field(std::size_t i) const { return fields_[i]; }

  // Position of the record last returned (conventions above).
  [[nodiscard]] std::uint64_t record_index() const { return record_index_; }
  [[nodiscard]] std::uint64_t record_line() const { return record_line_; }
  [[nodiscard]] std::uint64_t record_byte() const { return record_byte_; }

private:
  RecordReader(int fd, RecordDialect dialect);

  // Buffer access: peek() is -1 at end of file or after a read failure, which
  // leaves its errno in io_errno_.
  bool refill();
  int peek();

  [[nodiscard]] Result<bool> read_raw_record();
  bool read_simple_line();
  bool skip_to_record_start();  // false at end of file (or read failure)
  void read_quoted_field();
  void read_plain_field();
  [[nodiscard]] Status check_record() const;

  FileHandle file_;
  RecordDialect dialect_;
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::uint64_t consumed_ = 0;  // file offset of buffer_[0]
  bool eof_ = false;
  int io_errno_ = 0;

  // Fields of the current record: views into buffer_ for a line read in one
  // piece, else into record_, where quoted or split lines are assembled.
  std::vector<std::string_view> fields_;
  std::string record_;
  std::vector<std::size_t> ends_;  // end offset of each field in record_
  std::size_t expected_fields_ = 0;
  bool have_first_ = false;
  bool record_ended_ = false;       // the current field ended its record

  std::uint64_t records_seen_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t record_index_ = 0;
  std::uint64_t record_line_ = 0;
  std::uint64_t record_byte_ = 0;
};

} // namespace morvane
