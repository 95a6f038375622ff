// The CTA tracker calls as every runtime flavour exposes them: statuses,
// fault injection and trace lines of cudaSetCTATracker and
// cudaFlushCTATracker, and the footprint summary a traced launch carries.
#pragma once

#include <cstddef>
#include <string>

#include "common/cta_tracker.h"

namespace gpu_runtime::common {

/// A device address as the trace shows it: {"alloc": i, "offset": o} inside a
/// live allocation, null for a null pointer, "unknown" otherwise.
std::string describe_address(const void* p, const AllocationFinder& find);

/// Not thread-safe beyond what CtaTracker is: the runtime serialises calls.
class TrackerCalls {
 public:
  explicit TrackerCalls(AllocationFinder find) : find_(std::move(find)) {}

  /// Records the rule (unless this call is made to fail) and traces the call.
  /// Returns 0, 1 (element size not positive, or an injected failure) or
  /// 17 (a base that lies in no live allocation).
  int set(void* base, int element_size, const int start[4], const int end[4]);

  /// Clears every rule; returns 0, or 1 for an injected failure.
  int flush();

  std::size_t pending() const { return tracker_.pending(); }
  std::vector<TrackerRule> rules() const { return tracker_.rules(); }

  /// The footprint summary of the rules in force over a grid, as JSON.
  std::string summary_json(unsigned grid_x, unsigned grid_y, unsigned grid_z) const;

  const AllocationFinder& finder() const { return find_; }

 private:
  AllocationFinder find_;
  CtaTracker tracker_;
};

}  // namespace gpu_runtime::common
