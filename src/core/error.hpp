// The single error type of the core. Every fallible operation returns
// std::expected<T, BufrError>; nothing in the core throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace morvane {

enum class ErrorKind : std::uint8_t {
  TooShort,
  MissingMarker,
  UnsupportedEdition,
  LengthMismatch,
  TruncatedSection,
  BadTerminator,
  OddDescriptorArea,
  MissingSequence,
  IncompleteDelayedReplication,
  UnsupportedReplication,
  MissingElement,
  Parse,
  Io,
};

// Each kind uses only the fields its message needs; `text` holds the free text
// of Parse and the platform detail of Io.
struct BufrError {
  ErrorKind kind = ErrorKind::Parse;
  std::uint8_t edition = 0;     // UnsupportedEdition
  std::uint8_t section = 0;     // TruncatedSection
  std::size_t declared = 0;     // LengthMismatch
  std::size_t actual = 0;       // LengthMismatch
  std::size_t offset = 0;       // TruncatedSection
  std::uint32_t descriptor = 0; // MissingSequence .. MissingElement
  std::string text;             // Parse, Io

  BufrError() = default;
  explicit BufrError(ErrorKind k) : kind(k) {}

  static BufrError too_short() { return BufrError(ErrorKind::TooShort); }
  static BufrError missing_marker() { return BufrError(ErrorKind::MissingMarker); }
  static BufrError unsupported_edition(std::uint8_t edition) {
    BufrError e(ErrorKind::UnsupportedEdition);
    e.edition = edition;
    return e;
  }
  static BufrError length_mismatch(std::size_t declared, std::size_t actual) {
    BufrError e(ErrorKind::LengthMismatch);
    e.declared = declared;
    e.actual = actual;
    return e;
  }
  static BufrError truncated_section(std::uint8_t section, std::size_t offset) {
    BufrError e(ErrorKind::TruncatedSection);
    e.section = section;
    e.offset = offset;
    return e;
  }
  static BufrError bad_terminator() { return BufrError(ErrorKind::BadTerminator); }
  static BufrError odd_descriptor_area() { return BufrError(ErrorKind::OddDescriptorArea); }
  static BufrError with_descriptor(ErrorKind kind, std::uint32_t code) {
    BufrError e(kind);
    e.descriptor = code;
    return e;
  }
  static BufrError missing_sequence(std::uint32_t code) {
    return with_descriptor(ErrorKind::MissingSequence, code);
  }
  static BufrError incomplete_delayed_replication(std::uint32_t code) {
    return with_descriptor(ErrorKind::IncompleteDelayedReplication, code);
  }
  static BufrError unsupported_replication(std::uint32_t code) {
    return with_descriptor(ErrorKind::UnsupportedReplication, code);
  }
  static BufrError missing_element(std::uint32_t code) {
    return with_descriptor(ErrorKind::MissingElement, code);
  }
  static BufrError parse(std::string text) {
    BufrError e(ErrorKind::Parse);
    e.text = std::move(text);
    return e;
  }
  // `detail` is the platform's description, e.g. os_error_detail(errno).
  static BufrError io(std::string detail) {
    BufrError e(ErrorKind::Io);
    e.text = std::move(detail);
    return e;
  }

  // The user-facing text of the error. Never fails.
  [[nodiscard]] std::string message() const;
};

template <class T> using Result = std::expected<T, BufrError>;
using Status = std::expected<void, BufrError>;

inline std::unexpected<BufrError> fail(BufrError e) { return std::unexpected(std::move(e)); }

// "{strerror(errnum)} (os error {errnum})": how every platform failure is worded.
std::string os_error_detail(int errnum);

// Descriptor code zero-padded to at least six digits: 1001 -> "001001".
std::string written_code(std::uint32_t code);

// Text between double quotes with backslash escapes for quotes, backslashes,
// \t \r \n \0 and \u{hex} for the characters escaped_in_quotes (text.hpp) picks.
std::string quoted(std::string_view text);

// Plain decimal list "[1, 2, 3]".
std::string code_list(const std::uint32_t* codes, std::size_t count);

} // namespace morvane
