// The CTA tracker: range rules registered by the host, resolved at each
// launch into a footprint summary. It never affects what a kernel computes.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/allocation_table.h"

namespace gpu_runtime::common {

/// One registration: for the CTA at (x, y, z), elements
/// start[0]*x + start[1]*y + start[2]*z + start[3] up to, not including,
/// end[0]*x + end[1]*y + end[2]*z + end[3] of the buffer at `base`.
struct TrackerRule {
  const void* base = nullptr;
  int element_size = 0;
  int start[4] = {};
  int end[4] = {};
};

/// Finds the live allocation that holds an address.
using AllocationFinder = std::function<std::optional<Allocation>(const void*)>;

struct TrackerSummary {
  std::uint64_t registrations = 0;   ///< rules in force
  std::uint64_t ctas = 0;            ///< CTAs of the grid
  std::uint64_t bytes = 0;           ///< bytes named, summed over CTAs and rules
  std::uint64_t covered_bytes = 0;   ///< distinct bytes named
  std::uint64_t overlap_bytes = 0;   ///< distinct bytes named by two or more CTAs
  std::uint64_t out_of_bounds = 0;   ///< ranges reaching outside their allocation, or with none
  std::uint64_t empty = 0;           ///< empty or inverted ranges
  bool complete = true;              ///< false when the grid was too large to resolve
};

/// Ranges resolved per launch at most; beyond it only the counts are reported.
inline constexpr std::uint64_t kMaxTrackedRanges = std::uint64_t{1} << 26;

/// Resolves `rules` for every CTA of a grid.
TrackerSummary summarize(const std::vector<TrackerRule>& rules, unsigned grid_x, unsigned grid_y,
                         unsigned grid_z, const AllocationFinder& find_allocation);

/// The summary as the trace shows it: a JSON object with the fields above
/// ("complete": false only when the grid was too large to resolve).
std::string summary_json(const TrackerSummary& summary);

/// The registrations in force. Thread-safe.
class CtaTracker {
 public:
  void add(const TrackerRule& rule);
  void flush();
  std::size_t pending() const;
  std::vector<TrackerRule> rules() const;

 private:
  mutable std::mutex mu_;
  std::vector<TrackerRule> rules_;
};

}  // namespace gpu_runtime::common
