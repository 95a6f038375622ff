// Measured footprints against declared ones: what each CTA of a launch
// really touched (recorded by a back end that can see every access) beside
// what the CTA tracker's registrations say it touches.
//
// Counts are in elements of the registrations' element size (the smallest,
// when several registrations of one buffer disagree), per CTA: an element a
// CTA touched counts once for that CTA, as inside its declared ranges or
// outside them; a declared element no access reached counts as unaccessed.
// Bytes shared between CTAs are counted once each over the whole launch:
// read by two or more CTAs and written by none (read sharing), or touched by
// two or more CTAs and written by at least one (write conflicts).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/cta_tracker.h"

namespace gpu_runtime::common {

/// Absolute byte ranges [first, second), sorted and disjoint.
using ByteRanges = std::vector<std::pair<std::uintptr_t, std::uintptr_t>>;

/// What one CTA touched in device allocations.
struct CtaAccesses {
  ByteRanges touched;  ///< read or written
  ByteRanges written;
};

/// One allocation the launch touched or declared.
struct BufferFootprint {
  Allocation allocation;
  std::uint64_t registrations = 0;  ///< registrations whose base lies in it
  std::int64_t element_size = 0;    ///< of those registrations; 0 without any
  std::uint64_t touched_bytes = 0, written_bytes = 0;  ///< distinct bytes, over all CTAs
  std::uint64_t inside = 0, outside = 0, unaccessed = 0;  ///< elements, per CTA
  std::uint64_t ctas_outside = 0;  ///< CTAs with an element outside
  std::uint64_t shared_read_bytes = 0, write_conflict_bytes = 0;
  /// Each CTA's touched ranges, as byte offsets from the base, for pictures;
  /// only for buffers with registrations, at most kMaxListedRanges of them.
  struct CtaRange {
    std::uint64_t cta;
    std::int64_t first, last;
  };
  std::vector<CtaRange> ranges;
  bool ranges_complete = true;
  /// The first CTA with an access outside, and where that access begins
  /// (bytes from the base).
  std::uint64_t first_outside_cta = 0;
  std::int64_t first_outside_offset = 0;
};

struct MeasuredFootprint {
  std::uint64_t ctas = 0;
  std::uint64_t inside = 0, outside = 0, unaccessed = 0;
  std::uint64_t ctas_outside = 0;  ///< CTAs with an access outside their ranges
  bool complete = true;            ///< false when the grid was too large to compare
  std::uint64_t shared_read_bytes = 0, write_conflict_bytes = 0;
  std::vector<BufferFootprint> buffers;  ///< by allocation index
};

/// Ranges listed per buffer at most.
inline constexpr std::size_t kMaxListedRanges = std::size_t{1} << 17;

/// Compares `ctas` (by linear CTA index, x fastest) with `rules` over a grid.
/// Accesses outside every allocation `find_allocation` knows are left out.
MeasuredFootprint measure_footprint(const std::vector<CtaAccesses>& ctas, const std::vector<TrackerRule>& rules,
                                    unsigned grid_x, unsigned grid_y, unsigned grid_z,
                                    const AllocationFinder& find_allocation);

/// The measured footprint as the trace shows it beside the tracker's summary.
std::string measured_json(const MeasuredFootprint& m);

/// The line a launch whose accesses left the declared ranges gets on
/// standard error (`kernel`: its mangled name), or "" when none did.
std::string outside_ranges_line(const std::string& kernel, const MeasuredFootprint& m, unsigned grid_x,
                                unsigned grid_y);

}  // namespace gpu_runtime::common
