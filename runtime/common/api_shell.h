// The runtime API as both back ends serve it. Each call's shell is here once:
// the lock that serialises calls, fault injection (CUDART_FAIL), the checks
// that need no device, the trace line (CUDART_TRACE), the call's time for the
// profile and the timeline (activity.h), the last error, the launches being
// configured, the table of device allocations and the CTA tracker. The rest
// of each call is the back end's (back_end.h).
//
// api_shell.cpp also holds the API's entry points, each a call into the
// shell. Every back end builds it into its own library; the GPU build gives
// the calls that the vendor runtime defines too the names the link wraps
// (GPU_RUNTIME_WRAP_VENDOR_CALLS, see runtime/cuda/CMakeLists.txt).
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "common/allocation_table.h"
#include "common/back_end.h"
#include "common/tracker_calls.h"

namespace gpu_runtime::common {

/// Made on first use (registration runs before main) and never destroyed, so
/// exit handlers can always reach it. Every call holds one lock; none may be
/// made from a kernel.
class ApiShell {
 public:
  static ApiShell& get();

  ApiShell(const ApiShell&) = delete;
  ApiShell& operator=(const ApiShell&) = delete;

  // The API calls, by the runtime's names. Each returns the call's status,
  // which a non-zero status also leaves as the last error.
  int malloc(void** ptr, std::size_t size);
  int free(void* ptr);
  int memcpy(void* dst, const void* src, std::size_t count, int kind);
  int thread_synchronize();
  int get_last_error();
  int get_device_count(int* count);
  int get_device_properties(void* prop, int device);
  int set_device(int device);
  int configure_call(Dim3 grid, Dim3 block, std::size_t shared, void* stream);
  int setup_argument(const void* arg, std::size_t size, std::size_t offset);
  int launch(const void* entry);
  int set_cta_tracker(void* base, int element_size, const int start[4], const int end[4]);
  int flush_cta_tracker();

  void** register_fat_binary(void* image);
  void unregister_fat_binary(void** handle);
  void register_function(const FunctionRegistration& f);
  void register_var(const VariableRegistration& v);

 private:
  ApiShell();
  static void at_exit();
  /// Records a non-zero status as the last error and returns it.
  int finish(int status);
  /// `p` for the trace: {"alloc": i, "offset": o}, null, or "unknown".
  std::string describe(const void* p) const;

  std::mutex mu_;
  AllocationTable allocations_;
  TrackerCalls tracker_;
  std::vector<PendingLaunch> configured_;
  int last_error_ = 0;
};

}  // namespace gpu_runtime::common
