// What a back end supplies to the API shell (api_shell.cpp): the work that is
// its own. Declared once here; each back end defines every function, in the
// file of the concept it belongs to:
//
//   CPU device (runtime/cpu/)           memory.cpp: allocate .. copied_digest
//                                       device.cpp: device_count .. take_device_error
//                                       launch_engine.cpp: start_kernel, synchronize, wait_idle
//                                       launch_activity.cpp: device_description
//                                       registry.cpp: kernel_name, add_image .. add_variable
//   vendor layer (runtime/cuda/)        runtime.cpp: all of them
//
// A program links one back end, and the back end builds the shell into its
// own library, so these calls resolve there.
//
// The shell calls them with its lock held. Where `injected` is passed,
// CUDART_FAIL names this call: the back end fails it with the call's natural
// status, at the point of its own checks where that failure belongs. Statuses
// are the runtime's numbers (status.h). No API types: the vendor layer builds
// against the vendor's headers, the shell against ours.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/allocation_table.h"

namespace gpu_runtime::common {

/// Largest argument block a launch may set up.
inline constexpr std::size_t kMaxArgumentBytes = 4096;

/// Grid or block geometry (dim3 without the API types).
struct Dim3 {
  unsigned x = 1, y = 1, z = 1;
};

/// A launch between its cudaConfigureCall and its cudaLaunch.
struct PendingLaunch {
  Dim3 grid, block;
  std::size_t shared = 0;
  void* stream = nullptr;
  std::vector<std::pair<std::size_t, std::size_t>> args;  ///< (offset, size) in set-up order
  std::vector<unsigned char> bytes;                        ///< the arguments at their offsets
};

/// Which sides of a copy are device memory.
struct CopySides {
  bool dst_device = false, src_device = false;
};

/// The sides a copy of `kind` (a cudaMemcpyKind) names as device memory.
inline CopySides sides_of_kind(int kind) {
  return {kind == 1 || kind == 3, kind == 2 || kind == 3};  // to device, to host, device to device
}

/// __cudaRegisterFunction's arguments.
struct FunctionRegistration {
  void** handle;
  const char* host_entry;
  char* device_fun;
  const char* device_name;
  int thread_limit;
  void *tid, *bid, *block_dim, *grid_dim;  ///< uint3*, uint3*, dim3*, dim3*
  int* warp_size;
  /// The kernel's device name, as the trace shows it.
  const char* name() const { return device_name ? device_name : device_fun; }
};

/// __cudaRegisterVar's arguments.
struct VariableRegistration {
  void** handle;
  char* host_var;
  char* device_address;
  const char* device_name;
  int ext;
  std::size_t size;
  int constant;
  int global;
  const char* name() const { return device_name ? device_name : device_address; }
};

namespace back_end {

// Memory and copies.

/// Stores fresh device memory of `size` bytes in *ptr; the shell then records it.
int allocate(void** ptr, std::size_t size, bool injected);
/// Frees `ptr`; `allocation` is the live allocation based there, if any. The
/// shell forgets it when this succeeds.
int release(void* ptr, const std::optional<Allocation>& allocation, bool injected);
/// Which sides of a copy of `kind` are device memory.
CopySides copy_sides(const AllocationTable& allocations, const void* dst, const void* src, int kind);
int copy(const AllocationTable& allocations, void* dst, const void* src, std::size_t count, int kind,
         CopySides sides, bool injected);
/// The digest of the bytes a successful copy left at `dst`, as the trace shows it.
std::string copied_digest(void* dst, const void* src, std::size_t count, CopySides sides);

// The device.

/// `reported`: the count the trace shows.
int device_count(int* count, bool injected, int& reported);
/// Fills `prop` (a cudaDeviceProp); `major` and `minor` are for the trace.
int device_properties(void* prop, int device, bool injected, int& major, int& minor);
int select_device(int device, bool injected);
/// An error the device keeps beside the shell's last error, reset by reading it.
int take_device_error();

// Launches.

/// The mangled name a host entry was registered under, or null.
const char* kernel_name(const void* entry);
/// Checks a configured launch against the kernel and the device and starts it.
int start_kernel(const void* entry, const PendingLaunch& launch, bool injected);
/// Waits for every launch; returns an error one raised.
int synchronize();
/// At exit, before the trace's last line: lets launched work finish.
void wait_idle();
/// The device as the profile and the timeline name it: "CPU device, 8 workers".
std::string device_description();

// Registration of device code.

void** add_image(void* image);
void remove_image(void** handle);
void add_function(const FunctionRegistration& f);
void add_variable(const VariableRegistration& v);

}  // namespace back_end
}  // namespace gpu_runtime::common
