#include "device.h"

#include <cstdint>
#include <cstring>

#include "common/back_end.h"
#include "common/environment.h"
#include "launch_engine.h"

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

namespace gpu_runtime::common::back_end {

namespace {
int current_device = 0;
}  // namespace

int device_count(int* count, bool injected, int& reported) {
  int status = cudaSuccess;
  reported = environment().device_count;
  if (injected) {
    reported = 0;
    status = cudaErrorNoDevice;
  }
  if (!count) status = cudaErrorInvalidValue;
  else *count = reported;
  return status;
}

int device_properties(void* prop, int device, bool injected, int& major, int& minor) {
  const Environment& env = environment();
  if (injected || device < 0 || device >= env.device_count) return cudaErrorInvalidDevice;
  if (!prop) return cudaErrorInvalidValue;
  *static_cast<cudaDeviceProp*>(prop) = cpu::device_properties(env.cc_major, env.cc_minor, cpu::launch_engine().workers());
  major = env.cc_major;
  minor = env.cc_minor;
  return cudaSuccess;
}

int select_device(int device, bool injected) {
  const int count = environment().device_count;
  if (count == 0) return cudaErrorNoDevice;
  if (injected || device < 0 || device >= count) return cudaErrorInvalidDevice;
  current_device = device;
  return cudaSuccess;
}

int take_device_error() { return cudaSuccess; }  // errors of launches come with synchronize()

}  // namespace gpu_runtime::common::back_end
