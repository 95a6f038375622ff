// The tracker calls handed from their entry points to the runtime. Kept free
// of API types: the entry points compile against the programs' own
// declarations of the tracker calls, the runtime against the vendor headers.
#pragma once

namespace gpu_runtime::cuda {

/// cudaSetCTATracker: `start` and `end` are the x, y, z factors and the offset.
int set_cta_tracker(void* base, int element_size, const int start[4], const int end[4]);
/// cudaFlushCTATracker.
int flush_cta_tracker();

}  // namespace gpu_runtime::cuda
