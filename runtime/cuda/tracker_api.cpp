// The CTA tracker entry points, compiled against the declarations the
// programs see. Outside nvcc those come with the CPU build's API types, whose
// numbers and layouts are the vendor's, so the calls link to programs built
// either way.
#include "gpu_runtime/tracker.h"
#include "tracker_entry.h"

extern "C" {

cudaError_t cudaSetCTATracker(void* devBase, int elementSize, int startX, int startY, int startZ,
                              int startOffset, int endX, int endY, int endZ, int endOffset) {
  const int start[4] = {startX, startY, startZ, startOffset};
  const int end[4] = {endX, endY, endZ, endOffset};
  return static_cast<cudaError_t>(gpu_runtime::cuda::set_cta_tracker(devBase, elementSize, start, end));
}

cudaError_t cudaFlushCTATracker(void) { return static_cast<cudaError_t>(gpu_runtime::cuda::flush_cta_tracker()); }

}  // extern "C"
