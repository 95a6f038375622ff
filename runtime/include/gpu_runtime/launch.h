// The launch glue every program uses: configure, set up the arguments at the
// offsets the kernel's parameter list implies, launch the host entry.
#pragma once

#include <cstddef>
#include <type_traits>

#ifdef __CUDACC__
#include "gpu_runtime/legacy_api.h"
#else
#include "gpu_runtime/host_api.h"
#endif

namespace gpu_runtime {

/// Offset of a parameter of `size` bytes placed after `end`: the next multiple of its size.
constexpr size_t argument_offset(size_t end, size_t size) { return (end + size - 1) / size * size; }

namespace detail {
template <typename Param>
bool setup_argument(const Param& value, size_t& end, cudaError_t& status) {
  const size_t offset = argument_offset(end, sizeof(Param));
  status = cudaSetupArgument(&value, sizeof(Param), offset);
  end = offset + sizeof(Param);
  return status == cudaSuccess;
}
}  // namespace detail

}  // namespace gpu_runtime

/// Launches `kernel` over `grid` x `block` with no dynamic shared memory on the
/// default stream. The arguments are converted to the kernel's parameter types
/// and set up in order, each at the next multiple of its size; set-up stops at
/// the first failure. Returns the configure or set-up status; the launch's own
/// status is left for cudaGetLastError, as for a kernel call.
template <typename... Params, typename... Args>
cudaError_t launchKernel(void (*kernel)(Params...), dim3 grid, dim3 block, Args&&... args) {
  static_assert(sizeof...(Params) == sizeof...(Args), "argument count differs from the kernel's");
  static_assert((std::is_trivially_copyable_v<Params> && ...), "kernel parameters are copied bytewise");
  cudaError_t status = cudaConfigureCall(grid, block, 0, 0);
  if (status != cudaSuccess) return status;
  size_t end = 0;
  if (!(gpu_runtime::detail::setup_argument<Params>(static_cast<Params>(args), end, status) && ...))
    return status;
  cudaLaunch(reinterpret_cast<const void*>(kernel));
  return cudaSuccess;
}
