// A kernel that does nothing but meet at barriers: launched over halvik's
// geometry, its time is what the CPU device spends switching fibers.
#include "gpu_runtime.h"  // defines: the kernel dialect, GPU_DEVICE_CODE

// Every thread of the block meets `count` barriers and touches no memory.
__global__ void halvik_barrier_rounds(int count) {
  for (int i = 0; i < count; i++) {
    __syncthreads();
  }
}

GPU_DEVICE_CODE(GPU_KERNEL(halvik_barrier_rounds, "_Z21halvik_barrier_roundsi"))
