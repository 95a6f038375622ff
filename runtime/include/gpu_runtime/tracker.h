// The CTA tracker: the host names, for every CTA of the next launches, the
// element range of a device buffer that CTA touches. Registrations stand until
// flushed and never change what a kernel computes.
#pragma once

#ifdef __CUDACC__
#include <cuda_runtime.h>
#else
#include "gpu_runtime/types.h"
#endif

extern "C" {

/// Registers one range rule: the CTA at grid (x, y, z) names elements
/// startX*x + startY*y + startZ*z + startOffset up to, not including,
/// endX*x + endY*y + endZ*z + endOffset of the buffer at devBase.
/// The rule is always recorded; the status flags what could not be resolved:
/// cudaErrorInvalidValue for elementSize <= 0, cudaErrorInvalidDevicePointer
/// for a base that lies in no live allocation.
cudaError_t cudaSetCTATracker(void* devBase, int elementSize, int startX, int startY, int startZ,
                              int startOffset, int endX, int endY, int endZ, int endOffset);

/// Clears every registration.
cudaError_t cudaFlushCTATracker(void);

}  // extern "C"
