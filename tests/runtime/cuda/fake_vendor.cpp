#include "fake_vendor.h"

#include <cuda_runtime_api.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace fake_vendor {

namespace {

struct State {
  std::map<const void*, std::vector<std::pair<std::size_t, std::size_t>>> params;
  std::vector<Launch> launches;
  std::set<void*> allocations;
  cudaError_t launch_status = cudaSuccess;
  cudaError_t last_error = cudaSuccess;
  int copies = 0;
};

State& state() {
  static State s;
  return s;
}

cudaError_t fail(cudaError_t status) {
  state().last_error = status;
  return status;
}

}  // namespace

void declare_parameters(const void* entry, std::vector<std::pair<std::size_t, std::size_t>> params) {
  state().params[entry] = std::move(params);
}

const std::vector<Launch>& launches() { return state().launches; }

void set_launch_status(int status) { state().launch_status = static_cast<cudaError_t>(status); }

int copies() { return state().copies; }

}  // namespace fake_vendor

using fake_vendor::state;

extern "C" {

cudaError_t cudaMalloc(void** devPtr, size_t size) {
  if (!devPtr) return fake_vendor::fail(cudaErrorInvalidValue);
  void* p = std::aligned_alloc(256, (size + 255) / 256 * 256 + 256);
  if (!p) return fake_vendor::fail(cudaErrorMemoryAllocation);
  std::memset(p, 0, size);
  state().allocations.insert(p);
  *devPtr = p;
  return cudaSuccess;
}

cudaError_t cudaFree(void* devPtr) {
  if (!devPtr) return cudaSuccess;
  if (!state().allocations.erase(devPtr)) return fake_vendor::fail(cudaErrorInvalidDevicePointer);
  std::free(devPtr);
  return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind) {
  ++state().copies;
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return fake_vendor::fail(cudaErrorInvalidMemcpyDirection);
  if (count) std::memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t cudaGetLastError(void) {
  const cudaError_t status = state().last_error;
  state().last_error = cudaSuccess;
  return status;
}

cudaError_t cudaGetDeviceCount(int* count) {
  *count = 1;
  return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(struct cudaDeviceProp* prop, int device) {
  if (device != 0) return fake_vendor::fail(cudaErrorInvalidDevice);
  *prop = cudaDeviceProp{};
  std::strcpy(prop->name, "fake device");
  prop->major = 9;
  prop->minor = 0;
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) { return device == 0 ? cudaSuccess : fake_vendor::fail(cudaErrorInvalidDevice); }

cudaError_t cudaDeviceSynchronize(void) { return cudaSuccess; }

cudaError_t cudaFuncGetParamInfo(const void* func, size_t paramIndex, size_t* paramOffset, size_t* paramSize) {
  const auto it = state().params.find(func);
  if (it == state().params.end() || paramIndex >= it->second.size()) return fake_vendor::fail(cudaErrorInvalidValue);
  *paramOffset = it->second[paramIndex].first;
  *paramSize = it->second[paramIndex].second;
  return cudaSuccess;
}

cudaError_t cudaLaunchKernel(const void* func, dim3 gridDim, dim3 blockDim, void** args, size_t, cudaStream_t) {
  if (state().launch_status != cudaSuccess) return fake_vendor::fail(state().launch_status);
  fake_vendor::Launch launch;
  launch.entry = func;
  launch.grid[0] = gridDim.x, launch.grid[1] = gridDim.y, launch.grid[2] = gridDim.z;
  launch.block[0] = blockDim.x, launch.block[1] = blockDim.y, launch.block[2] = blockDim.z;
  const auto it = state().params.find(func);
  if (it != state().params.end()) {
    for (size_t i = 0; i < it->second.size(); ++i) {
      const auto* bytes = static_cast<const unsigned char*>(args[i]);
      launch.params.emplace_back(bytes, bytes + it->second[i].second);
    }
  }
  state().launches.push_back(std::move(launch));
  return cudaSuccess;
}

// Events: every launch takes a quarter of a millisecond.
cudaError_t cudaEventCreate(cudaEvent_t* event) {
  static char events[1];
  *event = reinterpret_cast<cudaEvent_t>(events);
  return cudaSuccess;
}
cudaError_t cudaEventRecord(cudaEvent_t, cudaStream_t) { return cudaSuccess; }
cudaError_t cudaEventSynchronize(cudaEvent_t) { return cudaSuccess; }
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t, cudaEvent_t) {
  *ms = 0.25f;
  return cudaSuccess;
}
cudaError_t cudaEventDestroy(cudaEvent_t) { return cudaSuccess; }

}  // extern "C"
