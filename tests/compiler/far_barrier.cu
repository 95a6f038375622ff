// A device function with a barrier, compiled apart from the kernels that
// call it: the kernel compiler never sees the barrier in them.
#include "gpu_runtime.h"

__device__ void far_barrier() { __syncthreads(); }
