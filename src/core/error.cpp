#include "error.hpp"

#include "text.hpp"

#include <cstring>
#include <cstdio>

namespace morvane {

namespace {

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80U) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800U) {
    out.push_back(static_cast<char>(0xC0U | (c >> 6U)));
    out.push_back(static_cast<char>(0x80U | (c & 0x3FU)));
  } else if (c < 0x10000U) {
    out.push_back(static_cast<char>(0xE0U | (c >> 12U)));
    out.push_back(static_cast<char>(0x80U | ((c >> 6U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | (c & 0x3FU)));
  } else {
    out.push_back(static_cast<char>(0xF0U | (c >> 18U)));
    out.push_back(static_cast<char>(0x80U | ((c >> 12U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | ((c >> 6U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | (c & 0x3FU)));
  }
}

} // namespace

std::string written_code(std::uint32_t code) {
  char buffer[16];
  const int n = std::snprintf(buffer, sizeof buffer, "%06u", static_cast<unsigned>(code));
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string code_list(const std::uint32_t* codes, std::size_t count) {
  std::string out = "[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(codes[i]);
  }
  out += ']';
  return out;
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t skip = 1;
    const std::size_t length = utf8_sequence_at(text, i, &skip);
    // Bytes that are not UTF-8 show as U+FFFD, as a lossy decoder reads them.
    const char32_t c = length == 0 ? U'\uFFFD' : utf8_code_point(text, i, length);
    i += length == 0 ? skip : length;
    switch (c) {
    case U'"': out += "\\\""; break;
    case U'\\': out += "\\\\"; break;
    case U'\t': out += "\\t"; break;
    case U'\r': out += "\\r"; break;
    case U'\n': out += "\\n"; break;
    case U'\0': out += "\\0"; break;
    default:
      if (escaped_in_quotes(c)) {
        char buffer[16];
        const int n = std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
        out.append(buffer, static_cast<std::size_t>(n));
      } else {
        append_utf8(out, c);
      }
    }
  }
  out.push_back('"');
  return out;
}

std::string os_error_detail(int errnum) {
  return std::string(std::strerror(errnum)) + " (os error " + std::to_string(errnum) + ")";
}

std::string BufrError::message() const {
  switch (kind) {
  case ErrorKind::TooShort: return "message is too short to be BUFR";
  case ErrorKind::MissingMarker: return "missing BUFR marker";
  case ErrorKind::UnsupportedEdition:
    return "unsupported BUFR edition " + std::to_string(edition) +
           "; only edition 4 is implemented";
  case ErrorKind::LengthMismatch:
    return "declared length " + std::to_string(declared) + " does not match buffer length " +
           std::to_string(actual);
  case ErrorKind::TruncatedSection:
    return "section " + std::to_string(section) + " at offset " + std::to_string(offset) +
           " is truncated";
  case ErrorKind::BadTerminator: return "section 5 terminator is not 7777";
  case ErrorKind::OddDescriptorArea: return "section 3 descriptor area has odd byte count";
  case ErrorKind::MissingSequence:
    return "descriptor " + written_code(descriptor) + " was not found in Table D";
  case ErrorKind::IncompleteDelayedReplication:
    return "delayed replication descriptor " + written_code(descriptor) +
           " is missing its replication factor or replicated descriptors";
  case ErrorKind::UnsupportedReplication:
    return "unsupported replication descriptor " + written_code(descriptor);
  case ErrorKind::MissingElement:
    return "descriptor " + written_code(descriptor) + " was not found in Table B";
  case ErrorKind::Parse: return "csv/table parse error: " + text;
  case ErrorKind::Io: return "io error: " + text;
  }
  return "unknown error";
}

} // namespace morvane
