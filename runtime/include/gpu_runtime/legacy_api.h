// Calls the vendor runtime no longer carries, supplied by our thin layer for
// the GPU build.
#pragma once

#include <cuda_runtime.h>

extern "C" {
cudaError_t cudaConfigureCall(dim3 gridDim, dim3 blockDim, size_t sharedMem, cudaStream_t stream);
cudaError_t cudaSetupArgument(const void* arg, size_t size, size_t offset);
cudaError_t cudaLaunch(const void* func);
cudaError_t cudaThreadSynchronize(void);
}
