#include "expansion.hpp"

#include <string>

#include "../descriptor.hpp"

namespace morvane {

namespace {

// 64 levels of sequences or replicated groups below the caller's list.
constexpr std::size_t kMaxDepth = 64;

// Nested fixed replications and sequences multiply; a hostile list could ask
// for more codes than memory holds. Real expansions stay far below this.
constexpr std::size_t kMaxExpandedCodes = std::size_t{1} << 24;
// The same bound on the work, which output alone does not limit.
constexpr std::uint64_t kMaxSteps = std::uint64_t{1} << 24;

Status charge_step(ExpansionState& state) {
  if (++state.steps > kMaxSteps) {
    return fail(BufrError::parse("sequence expansion exceeded " + std::to_string(kMaxSteps) +
                                 " steps"));
  }
  return {};
}

} // namespace

Status expand_into(const TableSet& tables, std::span<const std::uint32_t> codes,
                   std::vector<std::uint32_t>& out, ExpansionState& state, std::size_t depth) {
  if (depth > kMaxDepth) {
    return fail(BufrError::parse("sequence expansion exceeded recursion depth"));
  }
  const std::size_t n = codes.size();
  std::size_t i = 0;
  while (i < n) {
    if (auto ok = charge_step(state); !ok) return ok;
    const std::uint32_t code = codes[i];
    const Fxy d = split_code(code);
    switch (d.f) {
    case 0:
      // Class 31 elements (replication factors, bitmaps) carry no associated field.
      if (state.associated_width != 0 && d.x != 31) out.push_back(kAssociatedFieldMarker);
      out.push_back(code);
      ++i;
      break;
    case 1: {
      const std::size_t count = d.x;
      if (count == 0 || i + count >= n) return fail(BufrError::unsupported_replication(code));
      if (d.y != 0) {
        const auto group = codes.subspan(i + 1, count);
        for (unsigned r = 0; r < d.y; ++r) {
          if (auto ok = charge_step(state); !ok) return ok;
          if (auto ok = expand_into(tables, group, out, state, depth + 1); !ok) return ok;
        }
        i += count + 1;
      } else {
        if (i + count + 1 >= n) return fail(BufrError::incomplete_delayed_replication(code));
        // The factor descriptor travels with one copy of its group.
        const auto group = codes.subspan(i + 1, count + 1);
        if (auto ok = expand_into(tables, group, out, state, depth + 1); !ok) return ok;
        i += count + 2;
      }
      break;
    }
    case 2:
      switch (d.x) {
      case 4: state.associated_width = d.y; break;
      // Width, scale, reference and text-width changes only affect how values
      // are coded, never which descriptors appear.
      case 1: case 2: case 6: case 7: case 8: break;
      default: out.push_back(code); break;
      }
      ++i;
      break;
    case 3: {
      const SequenceDefinition* sequence = tables.sequence(code);
      if (sequence == nullptr) return fail(BufrError::missing_sequence(code));
      if (auto ok = expand_into(tables, sequence->members, out, state, depth + 1); !ok) return ok;
      ++i;
      break;
    }
    default:
      return fail(BufrError::parse("invalid descriptor " + written_code(code)));
    }
    if (out.size() > kMaxExpandedCodes) {
      return fail(BufrError::parse("sequence expansion exceeded " +
                                   std::to_string(kMaxExpandedCodes) + " descriptors"));
    }
  }
  return {};
}

Result<std::vector<std::uint32_t>> expand(const TableSet& tables,
                                          std::span<const std::uint32_t> codes) {
  std::vector<std::uint32_t> out;
  out.reserve(codes.size() * 4);
  ExpansionState state;
  if (auto ok = expand_into(tables, codes, out, state, 0); !ok) return fail(std::move(ok.error()));
  return out;
}

} // namespace morvane
