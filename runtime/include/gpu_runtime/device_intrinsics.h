// Device intrinsics of the kernel dialect that the vendor toolkit lacks.
#pragma once

/// The hardware's approximate base-2 exponential (ex2.approx, no flush to zero).
__device__ __forceinline__ float __ex2approxf(float x) {
  float r;
  asm("ex2.approx.f32 %0, %1;" : "=f"(r) : "f"(x));
  return r;
}
