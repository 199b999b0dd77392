#include "bitstream.hpp"

namespace morvane {

BufrError not_enough_bits(std::size_t position, std::size_t width, std::size_t available) {
  return BufrError::parse("not enough bits while reading section 4 at bit " +
                          std::to_string(position) + " for width " + std::to_string(width) + " (" +
                          std::to_string(available) + " bits available)");
}

BufrError too_wide_for_u64(std::size_t width) {
  return BufrError::parse("cannot read " + std::to_string(width) + " bits into u64");
}

} // namespace morvane
