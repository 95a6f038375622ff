#include "common/api_shell.h"

#include <cstdlib>
#include <cstring>

#include "common/activity.h"
#include "common/fault_injection.h"
#include "common/status.h"
#include "common/trace.h"
#include "gpu_runtime/host_api.h"
#include "gpu_runtime/tracker.h"

// The runtime API's entry points: each hands its arguments to the shell,
// which calls the back end for the device's own work (cudaLaunch:
// ApiShell::launch below).

// In the GPU build the calls that the vendor runtime defines too take the
// names the link's --wrap sends the programs' calls to (runtime/cuda/CMakeLists.txt).
#ifdef GPU_RUNTIME_WRAP_VENDOR_CALLS
#define VENDOR_CALL(name) __wrap_##name
#else
#define VENDOR_CALL(name) name
#endif

using gpu_runtime::common::ApiShell;

namespace {
cudaError_t status(int s) { return static_cast<cudaError_t>(s); }
gpu_runtime::common::Dim3 dims(dim3 d) { return {d.x, d.y, d.z}; }
}  // namespace

extern "C" {

cudaError_t VENDOR_CALL(cudaMalloc)(void** devPtr, size_t size) { return status(ApiShell::get().malloc(devPtr, size)); }
cudaError_t VENDOR_CALL(cudaFree)(void* devPtr) { return status(ApiShell::get().free(devPtr)); }
cudaError_t VENDOR_CALL(cudaMemcpy)(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind) {
  return status(ApiShell::get().memcpy(dst, src, count, kind));
}
cudaError_t VENDOR_CALL(cudaGetLastError)(void) { return status(ApiShell::get().get_last_error()); }
cudaError_t VENDOR_CALL(cudaGetDeviceCount)(int* count) { return status(ApiShell::get().get_device_count(count)); }
cudaError_t VENDOR_CALL(cudaGetDeviceProperties)(struct cudaDeviceProp* prop, int device) {
  return status(ApiShell::get().get_device_properties(prop, device));
}
cudaError_t VENDOR_CALL(cudaSetDevice)(int device) { return status(ApiShell::get().set_device(device)); }
#ifndef GPU_RUNTIME_WRAP_VENDOR_CALLS
const char* cudaGetErrorString(cudaError_t error) { return gpu_runtime::common::status_text(error); }
#endif

cudaError_t cudaThreadSynchronize(void) { return status(ApiShell::get().thread_synchronize()); }
cudaError_t cudaConfigureCall(dim3 gridDim, dim3 blockDim, size_t sharedMem, cudaStream_t stream) {
  return status(ApiShell::get().configure_call(dims(gridDim), dims(blockDim), sharedMem, stream));
}
cudaError_t cudaSetupArgument(const void* arg, size_t size, size_t offset) {
  return status(ApiShell::get().setup_argument(arg, size, offset));
}
cudaError_t cudaLaunch(const void* func) { return status(ApiShell::get().launch(func)); }

cudaError_t cudaSetCTATracker(void* devBase, int elementSize, int startX, int startY, int startZ,
                              int startOffset, int endX, int endY, int endZ, int endOffset) {
  const int start[4] = {startX, startY, startZ, startOffset};
  const int end[4] = {endX, endY, endZ, endOffset};
  return status(ApiShell::get().set_cta_tracker(devBase, elementSize, start, end));
}
cudaError_t cudaFlushCTATracker(void) { return status(ApiShell::get().flush_cta_tracker()); }

void** VENDOR_CALL(__cudaRegisterFatBinary)(void* fatCubin) { return ApiShell::get().register_fat_binary(fatCubin); }
void VENDOR_CALL(__cudaUnregisterFatBinary)(void** fatCubinHandle) {
  ApiShell::get().unregister_fat_binary(fatCubinHandle);
}
void VENDOR_CALL(__cudaRegisterFunction)(void** fatCubinHandle, const char* hostFun, char* deviceFun,
                                         const char* deviceName, int thread_limit, uint3* tid, uint3* bid,
                                         dim3* bDim, dim3* gDim, int* wSize) {
  ApiShell::get().register_function(
      {fatCubinHandle, hostFun, deviceFun, deviceName, thread_limit, tid, bid, bDim, gDim, wSize});
}
void VENDOR_CALL(__cudaRegisterVar)(void** fatCubinHandle, char* hostVar, char* deviceAddress,
                                    const char* deviceName, int ext, size_t size, int constant, int global) {
  ApiShell::get().register_var({fatCubinHandle, hostVar, deviceAddress, deviceName, ext, size, constant, global});
}

}  // extern "C"

namespace gpu_runtime::common {

ApiShell& ApiShell::get() {
  static ApiShell* shell = new ApiShell;
  return *shell;
}

ApiShell::ApiShell() : tracker_([this](const void* p) { return allocations_.containing(p); }) {
  // Made during the first registration, before any exit handler of the
  // program's own (or of nvcc's registration code), so this one runs after
  // them and the exit line ends the trace.
  std::atexit(&ApiShell::at_exit);
}

void ApiShell::at_exit() {
  ApiShell& shell = get();
  std::lock_guard lock(shell.mu_);
  back_end::wait_idle();
  activity::finish(back_end::device_description());
  TraceRecord("exit", "event").unsigned_number("pending_registrations", shell.tracker_.pending()).write();
}

int ApiShell::finish(int status) {
  if (status != kSuccess) last_error_ = status;
  return status;
}

std::string ApiShell::describe(const void* p) const { return describe_address(p, tracker_.finder()); }

int ApiShell::malloc(void** ptr, std::size_t size) {
  activity::CallScope timed("cudaMalloc");
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaMalloc");
  const int status = back_end::allocate(ptr, size, injected);
  std::optional<Allocation> a;
  if (status == kSuccess) {
    a = allocations_.add(*ptr, size);
    activity::memory_changed(static_cast<std::int64_t>(size));
  }
  if (trace_enabled()) {
    TraceRecord r("cudaMalloc");
    r.unsigned_number("bytes", size);
    if (a) r.unsigned_number("alloc", a->index);
    else r.raw("alloc", "null");
    r.number("status", status).write();
  }
  return finish(status);
}

int ApiShell::free(void* ptr) {
  activity::CallScope timed("cudaFree");
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaFree");
  const std::string where = trace_enabled() ? describe(ptr) : std::string();
  const std::optional<Allocation> freed = allocations_.based_at(ptr);
  const int status = back_end::release(ptr, freed, injected);
  if (status == kSuccess && ptr) allocations_.remove(ptr);
  if (status == kSuccess && freed) activity::memory_changed(-static_cast<std::int64_t>(freed->size));
  if (trace_enabled()) TraceRecord("cudaFree").raw("ptr", where).number("status", status).write();
  return finish(status);
}

int ApiShell::memcpy(void* dst, const void* src, std::size_t count, int kind) {
  activity::CallScope timed("cudaMemcpy");
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaMemcpy");
  const CopySides sides = back_end::copy_sides(allocations_, dst, src, kind);
  if (activity::timeline_enabled())
    timed.detail("\"bytes\": " + std::to_string(count) + ", \"direction\": \"" + activity::direction_name(sides) + "\"");
  std::string dst_text, src_text;
  if (trace_enabled()) {
    dst_text = sides.dst_device ? describe(dst) : dst ? "\"host\"" : "null";
    src_text = sides.src_device ? describe(src) : src ? "\"host\"" : "null";
  }
  const int status = back_end::copy(allocations_, dst, src, count, kind, sides, injected);
  if (trace_enabled()) {
    TraceRecord r("cudaMemcpy");
    r.raw("dst", dst_text).raw("src", src_text).unsigned_number("bytes", count).number("kind", kind);
    r.number("status", status);
    if (status == kSuccess) r.string("digest", back_end::copied_digest(dst, src, count, sides));
    r.write();
  }
  return finish(status);
}

int ApiShell::thread_synchronize() {
  activity::CallScope timed("cudaThreadSynchronize");
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaThreadSynchronize");
  int status = back_end::synchronize();
  if (injected && status == kSuccess) status = kLaunchFailure;
  if (trace_enabled()) TraceRecord("cudaThreadSynchronize").number("status", status).write();
  return finish(status);
}

int ApiShell::get_last_error() {
  activity::CallScope timed("cudaGetLastError");
  std::lock_guard lock(mu_);
  // Every failed call is in last_error_; the device's own record is read too,
  // which also resets it.
  const int device = back_end::take_device_error();
  int status = std::exchange(last_error_, kSuccess);
  if (status == kSuccess) status = device;
  if (trace_enabled()) TraceRecord("cudaGetLastError").number("status", status).write();
  return status;
}

int ApiShell::get_device_count(int* count) {
  activity::CallScope timed("cudaGetDeviceCount");
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaGetDeviceCount");
  int reported = 0;
  const int status = back_end::device_count(count, injected, reported);
  if (trace_enabled()) TraceRecord("cudaGetDeviceCount").number("count", reported).number("status", status).write();
  return finish(status);
}

int ApiShell::get_device_properties(void* prop, int device) {
  activity::CallScope timed("cudaGetDeviceProperties");
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaGetDeviceProperties");
  int major = 0, minor = 0;
  const int status = back_end::device_properties(prop, device, injected, major, minor);
  if (trace_enabled()) {
    TraceRecord r("cudaGetDeviceProperties");
    r.number("device", device);
    if (status == kSuccess) r.number("major", major).number("minor", minor);
    r.number("status", status).write();
  }
  return finish(status);
}

int ApiShell::set_device(int device) {
  activity::CallScope timed("cudaSetDevice");
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaSetDevice");
  const int status = back_end::select_device(device, injected);
  if (trace_enabled()) TraceRecord("cudaSetDevice").number("device", device).number("status", status).write();
  return finish(status);
}

int ApiShell::configure_call(Dim3 grid, Dim3 block, std::size_t shared, void* stream) {
  activity::CallScope timed("cudaConfigureCall");
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaConfigureCall");
  int status = kSuccess;
  if (injected) status = kInvalidConfiguration;
  else configured_.push_back(PendingLaunch{grid, block, shared, stream, {}, {}});
  if (trace_enabled()) {
    TraceRecord r("cudaConfigureCall");
    r.triple("grid", grid.x, grid.y, grid.z).triple("block", block.x, block.y, block.z);
    r.unsigned_number("shared", shared).raw("stream", stream ? "\"unknown\"" : "0");
    r.number("status", status).write();
  }
  return finish(status);
}

int ApiShell::setup_argument(const void* arg, std::size_t size, std::size_t offset) {
  activity::CallScope timed("cudaSetupArgument");
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaSetupArgument");
  int status = kSuccess;
  if (configured_.empty()) {
    status = kNotConfigured;
  } else if (injected || !arg || offset > kMaxArgumentBytes || size > kMaxArgumentBytes - offset) {
    status = kInvalidValue;
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

int ApiShell::launch(const void* entry) {
  activity::CallScope timed("cudaLaunch");
  std::lock_guard lock(mu_);
  const bool injected = inject_failure("cudaLaunch");
  const char* name = back_end::kernel_name(entry);
  if (name && activity::timeline_enabled()) timed.detail("\"kernel\": " + json_string(name));
  PendingLaunch config;
  int status = kNotConfigured;
  if (!configured_.empty()) {
    config = std::move(configured_.back());
    configured_.pop_back();
    // The back end checks the launch and starts the kernel (the CPU device:
    // runtime/cpu/launch_engine.cpp).
    status = back_end::start_kernel(entry, config, injected);
  }

  if (trace_enabled()) {
    TraceRecord r("cudaLaunch");
    if (name) r.string("kernel", name);
    else r.raw("kernel", "null");
    r.triple("grid", config.grid.x, config.grid.y, config.grid.z);
    r.triple("block", config.block.x, config.block.y, config.block.z);
    std::string args = "[";
    for (std::size_t i = 0; i < config.args.size(); ++i)
      args += (i ? ", [" : "[") + std::to_string(config.args[i].first) + ", " + std::to_string(config.args[i].second) + "]";
    r.raw("args", args + "]");
    if (status == kSuccess) r.raw("tracker", tracker_.summary_json(config.grid.x, config.grid.y, config.grid.z));
    r.number("status", status).write();
  }
  return finish(status);
}

int ApiShell::set_cta_tracker(void* base, int element_size, const int start[4], const int end[4]) {
  activity::CallScope timed("cudaSetCTATracker");
  std::lock_guard lock(mu_);
  return finish(tracker_.set(base, element_size, start, end));
}

int ApiShell::flush_cta_tracker() {
  activity::CallScope timed("cudaFlushCTATracker");
  std::lock_guard lock(mu_);
  return finish(tracker_.flush());
}

void** ApiShell::register_fat_binary(void* image) {
  activity::CallScope timed("__cudaRegisterFatBinary");
  std::lock_guard lock(mu_);
  void** handle = back_end::add_image(image);
  if (trace_enabled()) TraceRecord("__cudaRegisterFatBinary").number("status", 0).write();
  return handle;
}

void ApiShell::unregister_fat_binary(void** handle) {
  activity::CallScope timed("__cudaUnregisterFatBinary");
  std::lock_guard lock(mu_);
  back_end::remove_image(handle);
  if (trace_enabled()) TraceRecord("__cudaUnregisterFatBinary").number("status", 0).write();
}

void ApiShell::register_function(const FunctionRegistration& f) {
  activity::CallScope timed("__cudaRegisterFunction");
  std::lock_guard lock(mu_);
  back_end::add_function(f);
  const char* name = f.name();
  if (trace_enabled()) TraceRecord("__cudaRegisterFunction").string("name", name ? name : "").number("status", 0).write();
}

void ApiShell::register_var(const VariableRegistration& v) {
  activity::CallScope timed("__cudaRegisterVar");
  std::lock_guard lock(mu_);
  back_end::add_variable(v);
  const char* name = v.name();
  if (trace_enabled())
    TraceRecord("__cudaRegisterVar").string("name", name ? name : "").unsigned_number("size", v.size).boolean("constant", v.constant != 0).number("status", 0).write();
}

}  // namespace gpu_runtime::common
