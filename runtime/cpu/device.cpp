#include "device.h"

#include <cstdint>
#include <cstring>

namespace gpu_runtime::cpu {

bool launch_fits(dim3 grid, dim3 block, std::size_t shared) {
  using L = DeviceLimits;
  const unsigned g[3] = {grid.x, grid.y, grid.z}, b[3] = {block.x, block.y, block.z};
  for (int i = 0; i < 3; ++i) {
    if (g[i] == 0 || g[i] > L::kMaxGrid[i]) return false;
    if (b[i] == 0 || b[i] > L::kMaxBlock[i]) return false;
  }
  return std::uint64_t{block.x} * block.y * block.z <= L::kMaxThreadsPerBlock &&
         shared <= L::kSharedMemoryPerBlock;
}

cudaDeviceProp device_properties(int major, int minor, int workers) {
  using L = DeviceLimits;
  cudaDeviceProp p;
  std::memset(&p, 0, sizeof p);
  std::strncpy(p.name, "CPU device", sizeof p.name - 1);
  p.totalGlobalMem = L::kGlobalMemory;
  p.sharedMemPerBlock = L::kSharedMemoryPerBlock;
  p.regsPerBlock = 65536;
  p.warpSize = 32;
  p.memPitch = 2147483647;
  p.maxThreadsPerBlock = L::kMaxThreadsPerBlock;
  for (int i = 0; i < 3; ++i) {
    p.maxThreadsDim[i] = static_cast<int>(L::kMaxBlock[i]);
    p.maxGridSize[i] = static_cast<int>(L::kMaxGrid[i]);
  }
  p.clockRate = 1000000;
  p.totalConstMem = 65536;
  p.major = major;
  p.minor = minor;
  p.textureAlignment = 512;
  p.deviceOverlap = 1;
  p.multiProcessorCount = workers;
  p.concurrentKernels = 0;
  p.asyncEngineCount = 0;
  p.unifiedAddressing = 1;
  return p;
}

}  // namespace gpu_runtime::cpu
