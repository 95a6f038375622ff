// kernel: makes one CTA tracker registration and exits. Its device code image
// carries no kernel and no variable.
#include "gpu_runtime.h"  // defines: cudaSetCTATracker, GPU_DEVICE_CODE

GPU_DEVICE_CODE()

int main() {
  // The CTA at (x, y, z) names one-byte elements 1 up to 256*z + 257 of a null
  // base: the end offset is one z step (256 elements) past the start element,
  // so the first CTA names exactly one 256-element stride and no CTA at z >= 0
  // gets an empty or inverted range.
  cudaSetCTATracker(nullptr, 1, 0, 0, 0, 1, 0, 0, 256, 257);
  return 0;
}
