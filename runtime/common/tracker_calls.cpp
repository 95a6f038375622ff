#include "common/tracker_calls.h"

#include <algorithm>

#include "common/fault_injection.h"
#include "common/status.h"
#include "common/trace.h"

namespace gpu_runtime::common {

std::string describe_address(const void* p, const AllocationFinder& find) {
  if (!p) return "null";
  const std::optional<Allocation> a = find(p);
  if (!a) return "\"unknown\"";
  return "{\"alloc\": " + std::to_string(a->index) +
         ", \"offset\": " + std::to_string(reinterpret_cast<std::uintptr_t>(p) - a->base) + "}";
}

int TrackerCalls::set(void* base, int element_size, const int start[4], const int end[4]) {
  int status = 0;
  if (inject_failure("cudaSetCTATracker")) {
    status = kInvalidValue;
  } else {
    // Recorded whatever it names; the status flags what cannot be resolved.
    TrackerRule rule;
    rule.base = base;
    rule.element_size = element_size;
    std::copy(start, start + 4, rule.start);
    std::copy(end, end + 4, rule.end);
    tracker_.add(rule);
    if (element_size <= 0) status = kInvalidValue;
    else if (!base || !find_(base)) status = kInvalidDevicePointer;
  }
  if (trace_enabled()) {
    TraceRecord r("cudaSetCTATracker");
    r.raw("devBase", describe_address(base, find_)).number("elementSize", element_size);
    r.raw("start", json_int_array(start, 4)).raw("end", json_int_array(end, 4));
    r.number("status", status).write();
  }
  return status;
}

int TrackerCalls::flush() {
  int status = 0;
  if (inject_failure("cudaFlushCTATracker")) status = kInvalidValue;
  else tracker_.flush();
  if (trace_enabled()) TraceRecord("cudaFlushCTATracker").number("status", status).write();
  return status;
}

std::string TrackerCalls::summary_json(unsigned grid_x, unsigned grid_y, unsigned grid_z) const {
  return gpu_runtime::common::summary_json(summarize(tracker_.rules(), grid_x, grid_y, grid_z, find_));
}

}  // namespace gpu_runtime::common
