#include "runtime.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/environment.h"
#include "common/fault_injection.h"
#include "common/trace.h"

namespace gpu_runtime::cpu {

using gpu_runtime::common::inject_failure;
using gpu_runtime::common::trace_enabled;
using gpu_runtime::common::TraceRecord;

Runtime& Runtime::get() {
  static Runtime* runtime = new Runtime;
  return *runtime;
}

Runtime::Runtime()
    : memory_(DeviceLimits::kGlobalMemory),
      engine_(gpu_runtime::common::environment().workers),
      tracker_(gpu_runtime::common::allocation_finder(memory_)) {
  // Registered during the first registration, before any program's own exit
  // handler, so it runs last and the exit line ends the trace.
  std::atexit(&Runtime::at_exit);
}

void Runtime::at_exit() {
  Runtime& rt = get();
  rt.engine_.wait_idle();
  TraceRecord("exit", "event").unsigned_number("pending_registrations", rt.tracker_.pending()).write();
}

cudaError_t Runtime::finish(cudaError_t status) {
  if (status != cudaSuccess) last_error_ = status;
  return status;
}

std::string Runtime::describe(const void* p) const { return gpu_runtime::common::describe_address(p, tracker_.finder()); }

cudaError_t Runtime::malloc(void** ptr, std::size_t size) {
  const bool injected = inject_failure("cudaMalloc");
  cudaError_t status = cudaSuccess;
  std::optional<Allocation> a;
  if (!ptr) status = cudaErrorInvalidValue;
  else if (injected || !(a = memory_.allocate(size))) status = cudaErrorMemoryAllocation;
  else *ptr = reinterpret_cast<void*>(a->base);
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
  const bool injected = inject_failure("cudaFree");
  const std::string where = trace_enabled() ? describe(ptr) : std::string();
  engine_.wait_idle();  // a kernel may still be using it
  cudaError_t status = cudaSuccess;
  if (injected) status = cudaErrorInvalidDevicePointer;
  else if (ptr && !memory_.release(ptr)) status = cudaErrorInvalidDevicePointer;
  if (trace_enabled()) TraceRecord("cudaFree").raw("ptr", where).number("status", status).write();
  return finish(status);
}

cudaError_t Runtime::memcpy(void* dst, const void* src, std::size_t count, int kind) {
  const bool injected = inject_failure("cudaMemcpy");
  const bool dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
  const bool src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
  std::string dst_text, src_text;
  if (trace_enabled()) {
    dst_text = dst_device ? describe(dst) : dst ? "\"host\"" : "null";
    src_text = src_device ? describe(src) : src ? "\"host\"" : "null";
  }

  cudaError_t status = cudaSuccess;
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDeviceToDevice) {
    status = cudaErrorInvalidMemcpyDirection;
  } else if (count > 0) {
    const bool dst_ok = dst_device ? memory_.covers(dst, count) : dst != nullptr;
    const bool src_ok = src_device ? memory_.covers(src, count) : src != nullptr;
    if (!dst_ok || !src_ok || injected) status = cudaErrorInvalidValue;
  }
  if (status == cudaSuccess) {
    // The copy follows every earlier launch; an error one raised is reported here.
    status = static_cast<cudaError_t>(engine_.synchronize());
    if (status == cudaSuccess && count > 0) std::memmove(dst, src, count);
  }

  if (trace_enabled()) {
    TraceRecord r("cudaMemcpy");
    r.raw("dst", dst_text).raw("src", src_text).unsigned_number("bytes", count).number("kind", kind);
    r.number("status", status);
    if (status == cudaSuccess) r.string("digest", gpu_runtime::common::fnv1a_hex(dst, count));
    r.write();
  }
  return finish(status);
}

cudaError_t Runtime::thread_synchronize() {
  const bool injected = inject_failure("cudaThreadSynchronize");
  cudaError_t status = static_cast<cudaError_t>(engine_.synchronize());
  if (injected && status == cudaSuccess) status = cudaErrorLaunchFailure;
  if (trace_enabled()) TraceRecord("cudaThreadSynchronize").number("status", status).write();
  return finish(status);
}

cudaError_t Runtime::get_last_error() {
  const cudaError_t status = std::exchange(last_error_, cudaSuccess);
  if (trace_enabled()) TraceRecord("cudaGetLastError").number("status", status).write();
  return status;
}

cudaError_t Runtime::get_device_count(int* count) {
  const bool injected = inject_failure("cudaGetDeviceCount");
  cudaError_t status = cudaSuccess;
  int reported = gpu_runtime::common::environment().device_count;
  if (injected) {
    reported = 0;
    status = cudaErrorNoDevice;
  }
  if (!count) status = cudaErrorInvalidValue;
  else *count = reported;
  if (trace_enabled()) TraceRecord("cudaGetDeviceCount").number("count", reported).number("status", status).write();
  return finish(status);
}

cudaError_t Runtime::get_device_properties(cudaDeviceProp* prop, int device) {
  const bool injected = inject_failure("cudaGetDeviceProperties");
  const auto& env = gpu_runtime::common::environment();
  cudaError_t status = cudaSuccess;
  if (injected || device < 0 || device >= env.device_count) status = cudaErrorInvalidDevice;
  else if (!prop) status = cudaErrorInvalidValue;
  else *prop = device_properties(env.cc_major, env.cc_minor, engine_.workers());
  if (trace_enabled()) {
    TraceRecord r("cudaGetDeviceProperties");
    r.number("device", device);
    if (status == cudaSuccess) r.number("major", env.cc_major).number("minor", env.cc_minor);
    r.number("status", status).write();
  }
  return finish(status);
}

cudaError_t Runtime::set_device(int device) {
  const bool injected = inject_failure("cudaSetDevice");
  const int count = gpu_runtime::common::environment().device_count;
  cudaError_t status = cudaSuccess;
  if (count == 0) status = cudaErrorNoDevice;
  else if (injected || device < 0 || device >= count) status = cudaErrorInvalidDevice;
  else current_device_ = device;
  if (trace_enabled()) TraceRecord("cudaSetDevice").number("device", device).number("status", status).write();
  return finish(status);
}

cudaError_t Runtime::configure_call(dim3 grid, dim3 block, std::size_t shared, cudaStream_t stream) {
  const bool injected = inject_failure("cudaConfigureCall");
  cudaError_t status = cudaSuccess;
  if (injected) status = cudaErrorInvalidConfiguration;
  else configured_.push_back(PendingLaunch{grid, block, shared, stream, 0, {}, {}});
  if (trace_enabled()) {
    TraceRecord r("cudaConfigureCall");
    r.triple("grid", grid.x, grid.y, grid.z).triple("block", block.x, block.y, block.z);
    r.unsigned_number("shared", shared).raw("stream", stream ? "\"unknown\"" : "0");
    r.number("status", status).write();
  }
  return finish(status);
}

cudaError_t Runtime::setup_argument(const void* arg, std::size_t size, std::size_t offset) {
  const bool injected = inject_failure("cudaSetupArgument");
  cudaError_t status = cudaSuccess;
  if (configured_.empty()) status = static_cast<cudaError_t>(52);  // not configured
  else if (injected || !arg || offset > kMaxArgumentBytes || size > kMaxArgumentBytes - offset)
    status = cudaErrorInvalidValue;
  else {
    PendingLaunch& p = configured_.back();
    if (p.bytes.size() < offset + size) p.bytes.resize(offset + size);
    std::memcpy(p.bytes.data() + offset, arg, size);
    p.args.emplace_back(offset, size);
  }
  if (trace_enabled())
    TraceRecord("cudaSetupArgument").unsigned_number("offset", offset).unsigned_number("size", size).number("status", status).write();
  return finish(status);
}

cudaError_t Runtime::launch(const void* entry) {
  const bool injected = inject_failure("cudaLaunch");
  const RegisteredKernel* kernel = registry_.find(entry);
  PendingLaunch config;
  cudaError_t status = cudaSuccess;
  if (configured_.empty()) {
    status = static_cast<cudaError_t>(52);
  } else {
    config = std::move(configured_.back());
    configured_.pop_back();
    if (!kernel || !kernel->ops) status = cudaErrorInvalidDeviceFunction;
    else if (!launch_fits(config.grid, config.block, config.shared)) status = cudaErrorInvalidConfiguration;
    else if (config.stream || config.bytes.size() < kernel->ops->args_size) status = cudaErrorInvalidValue;
    else if (injected) status = cudaErrorLaunchFailure;
  }


  if (status == cudaSuccess) {
    auto work = std::make_unique<Launch>();
    work->ops = kernel->ops;
    if (gpu_runtime::common::environment().region_forms) {
      const Registry::Forms forms = registry_.forms(entry, *kernel->ops);
      work->run_regions = forms.regions;
      work->run_rows = forms.rows;
    }
    work->grid = config.grid;
    work->block = config.block;
    work->blocks = std::uint64_t{config.grid.x} * config.grid.y * config.grid.z;
    std::memcpy(work->args.data(), config.bytes.data(), config.bytes.size());
    engine_.submit(std::move(work));
  }

  if (trace_enabled()) {
    TraceRecord r("cudaLaunch");
    if (kernel) r.string("kernel", kernel->name);
    else r.raw("kernel", "null");
    r.triple("grid", config.grid.x, config.grid.y, config.grid.z);
    r.triple("block", config.block.x, config.block.y, config.block.z);
    std::string args = "[";
    for (size_t i = 0; i < config.args.size(); ++i)
      args += (i ? ", [" : "[") + std::to_string(config.args[i].first) + ", " + std::to_string(config.args[i].second) + "]";
    r.raw("args", args + "]");
    if (status == cudaSuccess) r.raw("tracker", tracker_.summary_json(config.grid.x, config.grid.y, config.grid.z));
    r.number("status", status).write();
  }
  return finish(status);
}

cudaError_t Runtime::set_cta_tracker(void* base, int element_size, const int start[4], const int end[4]) {
  return finish(static_cast<cudaError_t>(tracker_.set(base, element_size, start, end)));
}

cudaError_t Runtime::flush_cta_tracker() { return finish(static_cast<cudaError_t>(tracker_.flush())); }

void** Runtime::register_fat_binary(void* image) {
  void** handle = registry_.add_image(image);
  if (trace_enabled()) TraceRecord("__cudaRegisterFatBinary").number("status", 0).write();
  return handle;
}

void Runtime::unregister_fat_binary(void** handle) {
  registry_.remove_image(handle);
  if (trace_enabled()) TraceRecord("__cudaUnregisterFatBinary").number("status", 0).write();
}

void Runtime::register_function(void** handle, const char* host_entry, const char* name) {
  registry_.add_function(handle, host_entry, name);
  if (trace_enabled()) TraceRecord("__cudaRegisterFunction").string("name", name ? name : "").number("status", 0).write();
}

void Runtime::register_var(void**, const char*, const char* name, std::size_t size, int constant) {
  // Kernels on the CPU device read the variable itself: nothing to copy.
  if (trace_enabled())
    TraceRecord("__cudaRegisterVar").string("name", name ? name : "").unsigned_number("size", size).boolean("constant", constant != 0).number("status", 0).write();
}

void Runtime::attach_region_form(const void* host_entry, gpu_runtime::RegionRunner run, std::size_t args_size) {
  registry_.attach_region_form(host_entry, run, args_size);
}

void Runtime::attach_row_form(const void* host_entry, gpu_runtime::RowRunner run, std::size_t args_size) {
  registry_.attach_row_form(host_entry, run, args_size);
}

}  // namespace gpu_runtime::cpu
