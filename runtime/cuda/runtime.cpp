// The thin layer over the vendor CUDA runtime: the back end (common/back_end.h)
// of the GPU build. Memory, copies, the device and launches are the vendor's
// (the legacy launch calls end in cudaLaunchKernel); the API shell adds the
// CTA tracker with allocation bounds from its table of cudaMalloc results, the
// call trace, fault injection and the last error, as on the CPU device; this
// file adds kernel and copy times (kernel_times.h).
#include <cuda_runtime_api.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/activity.h"
#include "common/back_end.h"
#include "common/trace.h"
#include "kernel_times.h"
#include "vendor.h"

namespace gpu_runtime::common::back_end {

namespace {

/// Host entry -> mangled device name, as registered.
std::map<const void*, std::string>& kernel_names() {
  static auto* names = new std::map<const void*, std::string>;
  return *names;
}

cuda::KernelTimes& kernel_times() {
  static auto* times = new cuda::KernelTimes;
  return *times;
}

// Whether a copy side on the device lies in a known allocation but runs past its end.
bool overruns(const AllocationTable& allocations, const void* p, std::size_t count) {
  const std::optional<Allocation> a = allocations.containing(p);
  return a && count > a->size - (reinterpret_cast<std::uintptr_t>(p) - a->base);
}

// False only when the vendor's description of the kernel's parameters shows
// that the set-up arguments are not exactly those parameters.
bool arguments_fit(const void* entry, const PendingLaunch& launch) {
  const std::size_t n = launch.args.size();
  for (std::size_t i = 0; i <= n; ++i) {
    std::size_t offset = 0, size = 0;
    if (cudaFuncGetParamInfo(entry, i, &offset, &size) != cudaSuccess) {
      __real_cudaGetLastError();
      // Past the last parameter this is the expected answer; before it the
      // vendor cannot describe the kernel (no device, an old driver), and the
      // launch call will say what is wrong, if anything.
      return true;
    }
    if (i == n) return false;  // the kernel has more parameters than were set up
    if (offset != launch.args[i].first || size != launch.args[i].second) return false;
  }
  return true;
}

}  // namespace

int allocate(void** ptr, std::size_t size, bool injected) {
  return injected ? cudaErrorMemoryAllocation : __real_cudaMalloc(ptr, size);
}

int release(void* ptr, const std::optional<Allocation>&, bool injected) {
  return injected ? cudaErrorInvalidDevicePointer : __real_cudaFree(ptr);
}

CopySides copy_sides(const AllocationTable& allocations, const void* dst, const void* src, int kind) {
  CopySides sides = sides_of_kind(kind);
  // cudaMemcpyDefault: the side that lies in one of our allocations is the device's.
  if (kind == cudaMemcpyDefault) {
    sides.dst_device = allocations.containing(dst).has_value();
    sides.src_device = allocations.containing(src).has_value();
  }
  return sides;
}

int copy(const AllocationTable& allocations, void* dst, const void* src, std::size_t count, int kind,
         CopySides sides, bool injected) {
  // A copy running past the end of one of our allocations is refused here: the
  // device would not always notice, and would overwrite whatever lies beyond.
  if (injected || (sides.dst_device && overruns(allocations, dst, count)) ||
      (sides.src_device && overruns(allocations, src, count)))
    return cudaErrorInvalidValue;
  cuda::KernelTimes& times = kernel_times();
  const std::int64_t began = activity::enabled() ? activity::now() : 0;
  const cudaEvent_t started = activity::enabled() ? times.start(nullptr) : nullptr;
  const cudaError_t status = __real_cudaMemcpy(dst, src, count, static_cast<cudaMemcpyKind>(kind));
  if (status == cudaSuccess && sides.src_device && times.enabled()) times.flush();
  if (activity::enabled()) times.copied(started, began, status == cudaSuccess, sides, count);
  return status;
}

std::string copied_digest(void* dst, const void* src, std::size_t count, CopySides sides) {
  if (!sides.dst_device) return fnv1a_hex(dst, count);
  if (!sides.src_device) return fnv1a_hex(src, count);  // the bytes now at dst
  // Device to device: bring the destination back to hash it.
  std::vector<unsigned char> copy(count);
  if (__real_cudaMemcpy(copy.data(), dst, count, cudaMemcpyDeviceToHost) != cudaSuccess) {
    __real_cudaGetLastError();  // the copy itself succeeded; only the digest is lost
    return "unknown";
  }
  return fnv1a_hex(copy.data(), count);
}

int device_count(int* count, bool injected, int& reported) {
  if (injected) {
    if (count) *count = 0;
    reported = 0;
    return cudaErrorNoDevice;
  }
  const cudaError_t status = __real_cudaGetDeviceCount(count);
  reported = status == cudaSuccess && count ? *count : 0;
  return status;
}

int device_properties(void* prop, int device, bool injected, int& major, int& minor) {
  if (injected) return cudaErrorInvalidDevice;
  auto* p = static_cast<cudaDeviceProp*>(prop);
  const cudaError_t status = __real_cudaGetDeviceProperties(p, device);
  if (status == cudaSuccess) {
    major = p->major;
    minor = p->minor;
  }
  return status;
}

int select_device(int device, bool injected) {
  return injected ? cudaErrorInvalidDevice : __real_cudaSetDevice(device);
}

int take_device_error() {
  // Failed calls through this layer are in the shell's last error, the
  // vendor's among them; reading the vendor's record also resets it.
  return __real_cudaGetLastError();
}

const char* kernel_name(const void* entry) {
  const auto named = kernel_names().find(entry);
  return named == kernel_names().end() ? nullptr : named->second.c_str();
}

int start_kernel(const void* entry, const PendingLaunch& config, bool injected) {
  if (!arguments_fit(entry, config)) return cudaErrorInvalidValue;
  if (injected) return cudaErrorLaunchFailure;  // the kernel does not run
  // The vendor takes one pointer per parameter, into our argument block.
  std::vector<void*> args;
  for (const auto& [offset, size] : config.args)
    args.push_back(const_cast<unsigned char*>(config.bytes.data()) + offset);
  const dim3 grid(config.grid.x, config.grid.y, config.grid.z);
  const dim3 block(config.block.x, config.block.y, config.block.z);
  const auto stream = static_cast<cudaStream_t>(config.stream);
  cuda::KernelTimes& times = kernel_times();
  const cudaEvent_t started = times.enabled() ? times.start(stream) : nullptr;
  const cudaError_t status = cudaLaunchKernel(entry, grid, block, args.data(), config.shared, stream);
  const char* name = kernel_name(entry);
  times.stop(started, status == cudaSuccess, name ? name : "unknown", grid, block, stream);
  return status;
}

int synchronize() {
  const cudaError_t status = cudaDeviceSynchronize();
  if (status == cudaSuccess && kernel_times().enabled()) kernel_times().flush();
  return status;
}

// The vendor runtime lets the device finish at exit; launches not yet waited
// for still owe the profile and the timeline their times.
void wait_idle() {
  if (activity::enabled()) kernel_times().flush();
}

std::string device_description() { return kernel_times().device(); }

void** add_image(void* image) {
  kernel_times();  // opens CUDART_KERNEL_TIMES with the first registration, before main
  return __real___cudaRegisterFatBinary(image);
}

void remove_image(void** handle) { __real___cudaUnregisterFatBinary(handle); }

void add_function(const FunctionRegistration& f) {
  __real___cudaRegisterFunction(f.handle, f.host_entry, f.device_fun, f.device_name, f.thread_limit,
                                static_cast<uint3*>(f.tid), static_cast<uint3*>(f.bid),
                                static_cast<dim3*>(f.block_dim), static_cast<dim3*>(f.grid_dim), f.warp_size);
  const char* name = f.name();
  kernel_names()[f.host_entry] = name ? name : "";
}

void add_variable(const VariableRegistration& v) {
  __real___cudaRegisterVar(v.handle, v.host_var, v.device_address, v.device_name, v.ext, v.size, v.constant,
                           v.global);
}

}  // namespace gpu_runtime::common::back_end
