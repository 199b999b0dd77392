#include "record_reader.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "text_scan.hpp"

namespace morvane {

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

} // namespace

void FileHandle::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

RecordReader::RecordReader(int fd, RecordDialect dialect)
    : file_(fd), dialect_(dialect), buffer_(new char[kBufferSize]) {}

Result<RecordReader> RecordReader::open(const std::filesystem::path& path,
                                        RecordDialect dialect) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(BufrError::parse(os_error_detail(errno)));
  RecordReader reader(fd, dialect);
  // The byte-order mark needs the first three bytes in the buffer at once.
  while (reader.len_ < 3 && !reader.eof_ && reader.io_errno_ == 0) {
    const ssize_t got = ::read(fd, reader.buffer_.get() + reader.len_, kBufferSize - reader.len_);
    if (got < 0) {
      if (errno != EINTR) reader.io_errno_ = errno;
    } else if (got == 0) {
      reader.eof_ = true;
    } else {
      reader.len_ += static_cast<std::size_t>(got);
    }
  }
  if (reader.io_errno_ != 0) return fail(BufrError::parse(os_error_detail(reader.io_errno_)));
  if (reader.len_ >= 3 && std::memcmp(reader.buffer_.get(), "\xEF\xBB\xBF", 3) == 0) {
    reader.pos_ = 3;
  }
  return reader;
}

bool RecordReader::refill() {
  if (eof_ || io_errno_ != 0) return false;
  consumed_ += len_;
  pos_ = 0;
  len_ = 0;
  for (;;) {
    const ssize_t got = ::read(file_.get(), buffer_.get(), kBufferSize);
    if (got > 0) {
      len_ = static_cast<std::size_t>(got);
      return true;
    }
    if (got == 0) {
      eof_ = true;
      file_.reset();
      return false;
    }
    if (errno != EINTR) {
      io_errno_ = errno;
      file_.reset();
      return false;
    }
  }
}

inline int RecordReader::peek() {
  if (pos_ < len_ || refill()) return static_cast<unsigned char>(buffer_[pos_]);
  return -1;
}

bool RecordReader::skip_to_record_start() {
  for (;;) {
    const int c = peek();
    if (c < 0) return false;
    if (c == '\n') {
      ++pos_;
      ++line_;
    } else if (c == '\r') {
      ++pos_;
      ++line_;
      if (peek() == '\n') ++pos_;
    } else if (c == dialect_.comment) {
      // Skip to the line break, which the loop then consumes.
      for (;;) {
        const char* start = buffer_.get() + pos_;
        const std::size_t avail = len_ - pos_;
        std::size_t k = 0;
        while (k < avail && start[k] != '\n' && start[k] != '\r') ++k;
        pos_ += k;
        if (k < avail || !refill()) break;
      }
    } else {
      return true;
    }
  }
}

void RecordReader::read_plain_field() {
  const char delimiter = dialect_.delimiter;
  for (;;) {
    if (pos_ >= len_ && !refill()) {
      record_ended_ = true;
      return;
    }
    const char* start = buffer_.get() + pos_;
    const std::size_t avail = len_ - pos_;
    std::size_t k = 0;
    while (k < avail) {
      const char c = start[k];
      if (c == delimiter || c == '\n' || c == '\r') break;
      ++k;
    }
    record_.append(start, k);
    pos_ += k;
    if (k == avail) continue;
    const char stop = start[k];
    ++pos_;
    if (stop == delimiter) return;
    ++line_;
    if (stop == '\r' && peek() == '\n') ++pos_;
    record_ended_ = true;
    return;
  }
}

void RecordReader::read_quoted_field() {
  bool after_cr = false;
  for (;;) {
    const int c = peek();
    if (c < 0) {
      record_ended_ = true;
      return;
    }
    ++pos_;
    if (c == '"') {
      if (peek() == '"') {
        ++pos_;
        record_.push_back('"');
        after_cr = false;
        continue;
      }
      // Closing quote: whatever follows up to the delimiter belongs to the field.
      read_plain_field();
      return;
    }
    if (c == '\n') {
      if (!after_cr) ++line_;
    } else if (c == '\r') {
      ++line_;
    }
    after_cr = c == '\r';
    record_.push_back(static_cast<char>(c));
  }
}

bool RecordReader::read_simple_line() {
  const char* start = buffer_.get() + pos_;
  const void* newline = std::memchr(start, '\n', len_ - pos_);
  if (newline == nullptr) return false;
  const auto n = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
  if (std::memchr(start, '"', n) != nullptr || std::memchr(start, '\r', n) != nullptr) {
    return false;
  }
  const char delimiter = dialect_.delimiter;
  std::size_t begin = 0;
  for (;;) {
    const void* found = std::memchr(start + begin, delimiter, n - begin);
    const std::size_t end =
        found == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(found) - start);
    fields_.emplace_back(start + begin, end - begin);
    if (found == nullptr) break;
    begin = end + 1;
  }
  pos_ += n + 1;
  ++line_;
  return true;
}

Result<bool> RecordReader::read_raw_record() {
  fields_.clear();
  if (!skip_to_record_start()) {
    if (io_errno_ != 0) return fail(BufrError::parse(os_error_detail(io_errno_)));
    return false;
  }
  record_byte_ = consumed_ + pos_;
  record_line_ = line_;
  record_index_ = records_seen_++;
  // Most lines lie whole in the buffer without quotes: split them in place.
  if (read_simple_line()) return true;
  record_.clear();
  ends_.clear();
  record_ended_ = false;
  while (!record_ended_) {
    if (peek() == '"') {
      ++pos_;
      read_quoted_field();
    } else {
      read_plain_field();
    }
    ends_.push_back(record_.size());
  }
  if (io_errno_ != 0) return fail(BufrError::parse(os_error_detail(io_errno_)));
  std::size_t begin = 0;
  for (const std::size_t end : ends_) {
    fields_.emplace_back(record_.data() + begin, end - begin);
    begin = end;
  }
  return true;
}

Status RecordReader::check_record() const {
  if (fields_.size() != expected_fields_) {
    return fail(BufrError::parse(
        "CSV error: record " + std::to_string(record_index_) + " (line: " +
        std::to_string(record_line_) + ", byte: " + std::to_string(record_byte_) +
        "): found record with " + std::to_string(fields_.size()) +
        " fields, but the previous record has " + std::to_string(expected_fields_) +
        " fields"));
  }
  // The fields lie back to back in one piece of memory: all ASCII is the rule.
  const char* first = fields_.front().data();
  const char* last = fields_.back().data() + fields_.back().size();
  if (is_ascii(std::string_view(first, static_cast<std::size_t>(last - first)))) return {};
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const std::size_t bad = utf8_invalid_at(fields_[i]);
    if (bad != std::string_view::npos) {
      const std::string index = std::to_string(i);
      return fail(BufrError::parse(
          "CSV parse error: record " + std::to_string(record_index_) + " (line " +
          std::to_string(record_line_) + ", field: " + index + ", byte: " +
          std::to_string(record_byte_) + "): invalid utf-8: invalid UTF-8 in field " + index +
          " near byte index " + std::to_string(bad)));
    }
  }
  return {};
}

Result<bool> RecordReader::next() {
  for (;;) {
    auto got = read_raw_record();
    if (!got || !*got) return got;
    if (!have_first_) {
      have_first_ = true;
      expected_fields_ = fields_.size();
      if (dialect_.header) continue;
    }
    if (auto ok = check_record(); !ok) return fail(std::move(ok.error()));
    return true;
  }
}

} // namespace morvane
