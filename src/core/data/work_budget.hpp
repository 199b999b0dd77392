// Bounded work for one decode.
//
// A delayed replication count may be as large as 2^64 - 1 and a replicated
// group may read no bits at all (operators only, elements of width 0), so a
// message of a few hundred bytes could otherwise describe a walk that never
// ends or output that fills memory. Every descriptor visited, every
// repetition of a replicated group and every item produced (n per compressed
// column) costs one unit; a decode may spend
//
//     min(kBaseUnits + kUnitsPerBit * (bits of section 4 data), kMaxUnits)
//
// units. Real messages use a few units per data bit at most (the densest in
// the test corpus, a compressed message of constant columns, about 2.1), and
// the fixed part covers small messages, so the limit only stops hostile or
// corrupt descriptions, quickly and with a clear error. The ceiling bounds
// memory: each unit may become a Python object (about 70 bytes, twice that
// for uncompressed items while the core list is alive), so without it a
// 1 MB message of unread bits could ask for 65 million objects. It leaves
// room for 8 million items, 20 times the largest corpus message and enough
// for a 480 KB message of the densest kind.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "../error.hpp"

namespace morvane {

class WorkBudget {
public:
  static constexpr std::uint64_t kBaseUnits = 1U << 20U;
  static constexpr std::uint64_t kUnitsPerBit = 8;
  static constexpr std::uint64_t kMaxUnits = 1U << 23U;

  explicit WorkBudget(std::size_t data_bits)
      : limit_(std::min(kBaseUnits + kUnitsPerBit * static_cast<std::uint64_t>(data_bits),
                        kMaxUnits)),
        left_(limit_), data_bits_(data_bits) {}

  // False once the limit is passed; the caller then returns exceeded().
  [[nodiscard]] bool charge(std::uint64_t units) {
    if (units > left_) {
      left_ = 0;
      return false;
    }
    left_ -= units;
    return true;
  }

  // Charges `units` only when all of them fit, for a caller that then skips
  // its own `units` charges of one: they could not have failed. False, with
  // nothing charged, otherwise.
  [[nodiscard]] bool charge_ahead(std::uint64_t units) {
    if (units > left_) return false;
    left_ -= units;
    return true;
  }

  [[nodiscard]] std::uint64_t used() const { return limit_ - left_; }
  [[nodiscard]] std::uint64_t limit() const { return limit_; }

  [[nodiscard]] BufrError exceeded() const {
    return BufrError::parse("descriptor walk exceeded its work limit of " + std::to_string(limit_) +
                            " steps for " + std::to_string(data_bits_) +
                            " bits of data; the descriptors describe far more values than "
                            "section 4 holds");
  }

private:
  std::uint64_t limit_;
  std::uint64_t left_;
  std::size_t data_bits_;
};

} // namespace morvane
