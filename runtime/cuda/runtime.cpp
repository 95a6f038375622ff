#include "runtime.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/fault_injection.h"
#include "common/trace.h"
#include "vendor.h"

namespace gpu_runtime::cuda {

using gpu_runtime::common::inject_failure;
using gpu_runtime::common::trace_enabled;
using gpu_runtime::common::TraceRecord;

namespace {

// The launch glue's status when cudaSetupArgument or cudaLaunch comes without
// a cudaConfigureCall before it ("__global__ function call is not configured").
constexpr cudaError_t kNotConfigured = static_cast<cudaError_t>(52);

}  // namespace

Runtime& Runtime::get() {
  static Runtime* runtime = new Runtime;
  return *runtime;
}

Runtime::Runtime()
    : tracker_(gpu_runtime::common::allocation_finder(memory_)) {
  // Registered during the first registration, before nvcc's own handler that
  // unregisters the image, so it runs after it and the exit line ends the trace.
  std::atexit(&Runtime::at_exit);
}

void Runtime::at_exit() {
  Runtime& rt = get();
  std::lock_guard lock(rt.mu_);
  TraceRecord("exit", "event").unsigned_number("pending_registrations", rt.tracker_.pending()).write();
}

cudaError_t Runtime::finish(cudaError_t status) {
  if (status != cudaSuccess) last_error_ = status;
  return status;
}

std::string Runtime::describe(const void* p) const { return gpu_runtime::common::describe_address(p, tracker_.finder()); }

std::string Runtime::describe_side(const void* p, bool device) const {
  if (device) return describe(p);
  return p ? "\"host\"" : "null";
}

bool Runtime::overruns(const void* p, std::size_t count) const {
  const std::optional<Allocation> a = memory_.containing(p);
  return a && count > a->size - (reinterpret_cast<std::uintptr_t>(p) - a->base);
}

cudaError_t Runtime::malloc(void** ptr, std::size_t size) {
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaMalloc");
  cudaError_t status = injected ? cudaErrorMemoryAllocation : __real_cudaMalloc(ptr, size);
  std::optional<Allocation> a;
  if (status == cudaSuccess) a = memory_.add(*ptr, size);
  if (trace_enabled()) {
    TraceRecord r("cudaMalloc");
    r.unsigned_number("bytes", size);
    if (a) r.unsigned_number("alloc", a->index);
    else r.raw("alloc", "null");
    r.number("status", status).write();
  }
  return finish(status);
}

cudaError_t Runtime::free(void* ptr) {
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaFree");
  const std::string where = trace_enabled() ? describe(ptr) : std::string();
  const cudaError_t status = injected ? cudaErrorInvalidDevicePointer : __real_cudaFree(ptr);
  if (status == cudaSuccess && ptr) memory_.remove(ptr);
  if (trace_enabled()) TraceRecord("cudaFree").raw("ptr", where).number("status", status).write();
  return finish(status);
}

std::string Runtime::copied_digest(void* dst, const void* src, std::size_t count, bool dst_device,
                                   bool src_device) {
  if (!dst_device) return gpu_runtime::common::fnv1a_hex(dst, count);
  if (!src_device) return gpu_runtime::common::fnv1a_hex(src, count);  // the bytes now at dst
  // Device to device: bring the destination back to hash it.
  std::vector<unsigned char> copy(count);
  if (__real_cudaMemcpy(copy.data(), dst, count, cudaMemcpyDeviceToHost) != cudaSuccess) {
    __real_cudaGetLastError();  // the copy itself succeeded; only the digest is lost
    return "unknown";
  }
  return gpu_runtime::common::fnv1a_hex(copy.data(), count);
}

cudaError_t Runtime::memcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaMemcpy");
  const bool dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice ||
                          (kind == cudaMemcpyDefault && memory_.containing(dst));
  const bool src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice ||
                          (kind == cudaMemcpyDefault && memory_.containing(src));
  std::string dst_text, src_text;
  if (trace_enabled()) {
    dst_text = describe_side(dst, dst_device);
    src_text = describe_side(src, src_device);
  }

  // A copy running past the end of one of our allocations is refused here: the
  // device would not always notice, and would overwrite whatever lies beyond.
  cudaError_t status = cudaSuccess;
  if (injected || (dst_device && overruns(dst, count)) || (src_device && overruns(src, count)))
    status = cudaErrorInvalidValue;
  else
    status = __real_cudaMemcpy(dst, src, count, kind);
  if (status == cudaSuccess && src_device && times_.enabled()) times_.flush();

  if (trace_enabled()) {
    TraceRecord r("cudaMemcpy");
    r.raw("dst", dst_text).raw("src", src_text).unsigned_number("bytes", count).number("kind", kind);
    r.number("status", status);
    if (status == cudaSuccess) r.string("digest", copied_digest(dst, src, count, dst_device, src_device));
    r.write();
  }
  return finish(status);
}

cudaError_t Runtime::thread_synchronize() {
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaThreadSynchronize");
  cudaError_t status = cudaDeviceSynchronize();
  if (status == cudaSuccess && times_.enabled()) times_.flush();
  if (injected && status == cudaSuccess) status = cudaErrorLaunchFailure;
  if (trace_enabled()) TraceRecord("cudaThreadSynchronize").number("status", status).write();
  return finish(status);
}

cudaError_t Runtime::get_last_error() {
  std::lock_guard lock(mu_);
  // Every failed call through this layer is in last_error_, the vendor's own
  // among them; the vendor's record is read too, which also resets it.
  const cudaError_t vendor = __real_cudaGetLastError();
  cudaError_t status = std::exchange(last_error_, cudaSuccess);
  if (status == cudaSuccess) status = vendor;
  if (trace_enabled()) TraceRecord("cudaGetLastError").number("status", status).write();
  return status;
}

cudaError_t Runtime::get_device_count(int* count) {
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaGetDeviceCount");
  cudaError_t status;
  if (injected) {
    status = cudaErrorNoDevice;
    if (count) *count = 0;
  } else {
    status = __real_cudaGetDeviceCount(count);
  }
  const int reported = status == cudaSuccess && count ? *count : 0;
  if (trace_enabled()) TraceRecord("cudaGetDeviceCount").number("count", reported).number("status", status).write();
  return finish(status);
}

cudaError_t Runtime::get_device_properties(cudaDeviceProp* prop, int device) {
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaGetDeviceProperties");
  const cudaError_t status = injected ? cudaErrorInvalidDevice : __real_cudaGetDeviceProperties(prop, device);
  if (trace_enabled()) {
    TraceRecord r("cudaGetDeviceProperties");
    r.number("device", device);
    if (status == cudaSuccess) r.number("major", prop->major).number("minor", prop->minor);
    r.number("status", status).write();
  }
  return finish(status);
}

cudaError_t Runtime::set_device(int device) {
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaSetDevice");
  const cudaError_t status = injected ? cudaErrorInvalidDevice : __real_cudaSetDevice(device);
  if (trace_enabled()) TraceRecord("cudaSetDevice").number("device", device).number("status", status).write();
  return finish(status);
}

cudaError_t Runtime::configure_call(dim3 grid, dim3 block, std::size_t shared, cudaStream_t stream) {
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaConfigureCall");
  cudaError_t status = cudaSuccess;
  if (injected) status = cudaErrorInvalidConfiguration;
  else configured_.push_back(PendingLaunch{grid, block, shared, stream, {}, {}});
  if (trace_enabled()) {
    TraceRecord r("cudaConfigureCall");
    r.triple("grid", grid.x, grid.y, grid.z).triple("block", block.x, block.y, block.z);
    r.unsigned_number("shared", shared).raw("stream", stream ? "\"unknown\"" : "0");
    r.number("status", status).write();
  }
  return finish(status);
}

cudaError_t Runtime::setup_argument(const void* arg, std::size_t size, std::size_t offset) {
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaSetupArgument");
  cudaError_t status = cudaSuccess;
  if (configured_.empty()) {
    status = kNotConfigured;
  } else if (injected || !arg || offset > kMaxArgumentBytes || size > kMaxArgumentBytes - offset) {
    status = cudaErrorInvalidValue;
  } else {
    PendingLaunch& p = configured_.back();
    if (p.bytes.size() < offset + size) p.bytes.resize(offset + size);
    std::memcpy(p.bytes.data() + offset, arg, size);
    p.args.emplace_back(offset, size);
  }
  if (trace_enabled())
    TraceRecord("cudaSetupArgument").unsigned_number("offset", offset).unsigned_number("size", size).number("status", status).write();
  return finish(status);
}

bool Runtime::arguments_fit(const void* entry, const PendingLaunch& launch) {
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

cudaError_t Runtime::launch(const void* entry) {
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaLaunch");
  const auto named = kernel_names_.find(entry);
  PendingLaunch config;
  cudaError_t status = cudaSuccess;
  if (configured_.empty()) {
    status = kNotConfigured;
  } else {
    config = std::move(configured_.back());
    configured_.pop_back();
    if (!arguments_fit(entry, config)) {
      status = cudaErrorInvalidValue;
    } else if (injected) {
      status = cudaErrorLaunchFailure;  // the kernel does not run
    } else {
      // The vendor takes one pointer per parameter, into our argument block.
      std::vector<void*> args;
      for (const auto& [offset, size] : config.args) args.push_back(config.bytes.data() + offset);
      const cudaEvent_t started = times_.enabled() ? times_.start(config.stream) : nullptr;
      status = cudaLaunchKernel(entry, config.grid, config.block, args.data(), config.shared, config.stream);
      times_.stop(started, status == cudaSuccess, named == kernel_names_.end() ? "unknown" : named->second,
                  config.grid, config.block, config.stream);
    }
  }

  if (trace_enabled()) {
    TraceRecord r("cudaLaunch");
    if (named != kernel_names_.end()) r.string("kernel", named->second);
    else r.raw("kernel", "null");
    r.triple("grid", config.grid.x, config.grid.y, config.grid.z);
    r.triple("block", config.block.x, config.block.y, config.block.z);
    std::string args = "[";
    for (std::size_t i = 0; i < config.args.size(); ++i)
      args += (i ? ", [" : "[") + std::to_string(config.args[i].first) + ", " + std::to_string(config.args[i].second) + "]";
    r.raw("args", args + "]");
    if (status == cudaSuccess) {
      r.raw("tracker", tracker_.summary_json(config.grid.x, config.grid.y, config.grid.z));
    }
    r.number("status", status).write();
  }
  return finish(status);
}

cudaError_t Runtime::set_cta_tracker(void* base, int element_size, const int start[4], const int end[4]) {
  std::lock_guard lock(mu_);
  return finish(static_cast<cudaError_t>(tracker_.set(base, element_size, start, end)));
}

cudaError_t Runtime::flush_cta_tracker() {
  std::lock_guard lock(mu_);
  return finish(static_cast<cudaError_t>(tracker_.flush()));
}

void** Runtime::register_fat_binary(void* image) {
  std::lock_guard lock(mu_);
  void** handle = __real___cudaRegisterFatBinary(image);
  if (trace_enabled()) TraceRecord("__cudaRegisterFatBinary").number("status", 0).write();
  return handle;
}

void Runtime::unregister_fat_binary(void** handle) {
  std::lock_guard lock(mu_);
  __real___cudaUnregisterFatBinary(handle);
  if (trace_enabled()) TraceRecord("__cudaUnregisterFatBinary").number("status", 0).write();
}

void Runtime::register_function(void** handle, const char* host_entry, char* device_fun, const char* device_name,
                                int thread_limit, uint3* tid, uint3* bid, dim3* block_dim, dim3* grid_dim,
                                int* warp_size) {
  std::lock_guard lock(mu_);
  __real___cudaRegisterFunction(handle, host_entry, device_fun, device_name, thread_limit, tid, bid, block_dim,
                                grid_dim, warp_size);
  const char* name = device_name ? device_name : device_fun;
  kernel_names_[host_entry] = name ? name : "";
  if (trace_enabled()) TraceRecord("__cudaRegisterFunction").string("name", name ? name : "").number("status", 0).write();
}

void Runtime::register_var(void** handle, char* host_var, char* device_address, const char* device_name, int ext,
                           std::size_t size, int constant, int global) {
  std::lock_guard lock(mu_);
  __real___cudaRegisterVar(handle, host_var, device_address, device_name, ext, size, constant, global);
  const char* name = device_name ? device_name : device_address;
  if (trace_enabled())
    TraceRecord("__cudaRegisterVar").string("name", name ? name : "").unsigned_number("size", size).boolean("constant", constant != 0).number("status", 0).write();
}

}  // namespace gpu_runtime::cuda
