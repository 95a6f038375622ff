// A device function with a barrier, compiled apart from split_probe.cu so the
// build step that splits kernels never sees it.
#include "gpu_runtime.h"

__device__ void far_barrier() { __syncthreads(); }
