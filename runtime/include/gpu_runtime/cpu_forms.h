// How a kernel runs on the CPU device: the two entry points of every
// kernel that the block runner (runtime/cpu/block_runner.cpp) calls.
// registration.h includes this header in the CPU build only.
//
// - run_block: the kernel's block function, which the kernel compiler's
//   pass (compiler/pass) builds: every thread of a block as loops over the
//   regions between barriers. The pass says what it made of the kernel in
//   a KernelForm, which the registration code asks for with
//   __gpu_kernel_form; a kernel the pass could not transform has none.
// - run_thread: the kernel as written, one thread at a time, for kernels
//   without a block function and for CUDART_BARRIERS=fibers.
#pragma once

#include <array>
#include <cstring>
#include <tuple>
#include <utility>

#include "gpu_runtime/kernel_abi.h"
#include "gpu_runtime/launch.h"

/// What the compiler made of the kernel whose host entry is `kernel`. The
/// pass replaces every call by its answer, so a program built without it
/// does not link.
extern "C" const gpu_runtime::KernelForm* __gpu_kernel_form(const void* kernel) noexcept;

namespace gpu_runtime {

/// The most threads a block may have on the CPU device.
inline constexpr unsigned kMaxThreadsPerBlock = 1024;

/// How the CPU device runs one kernel, given its argument bytes as the launch
/// glue laid them out.
struct KernelOps {
  size_t args_size;  ///< bytes the parameters span
  /// Runs the kernel as the running thread (the runtime has set its indices).
  void (*run_thread)(const unsigned char* args);
  /// Runs a whole block through the block function; 0, or 1 when the
  /// block's threads disagreed on barriers (place says where). Null when
  /// the kernel has no block function.
  int (*run_block)(const unsigned char* args, BlockPlace& place);
  const KernelForm* form;
};

namespace detail {

template <typename... P>
struct ArgLayout {
  static constexpr size_t count = sizeof...(P);
  static constexpr auto offsets() {
    std::array<size_t, sizeof...(P) + 1> out{};
    size_t end = 0, i = 0;
    ((out[i++] = argument_offset(end, sizeof(P)), end = out[i - 1] + sizeof(P)), ...);
    out[count] = end;
    return out;
  }
  static constexpr std::array<size_t, sizeof...(P) + 1> at = offsets();

  template <size_t... I>
  static std::tuple<P...> decode(const unsigned char* raw, std::index_sequence<I...>) {
    std::tuple<P...> values;
    (std::memcpy(&std::get<I>(values), raw + at[I], sizeof(P)), ...);
    return values;
  }
  static std::tuple<P...> decode(const unsigned char* raw) { return decode(raw, std::index_sequence_for<P...>{}); }
};

template <auto Kernel>
struct KernelThunk;

template <typename... P, void (*Kernel)(P...)>
struct KernelThunk<Kernel> {
  using Layout = ArgLayout<P...>;
  using BlockFunction = int (*)(P..., BlockPlace*);

  static const KernelForm* form() { return __gpu_kernel_form(reinterpret_cast<const void*>(Kernel)); }

  static void run_thread(const unsigned char* args) { std::apply(Kernel, Layout::decode(args)); }

  template <size_t... I>
  static int call_block(const unsigned char* args, BlockPlace& place, std::index_sequence<I...>) {
    const auto values = Layout::decode(args);
    return reinterpret_cast<BlockFunction>(const_cast<void*>(form()->block))(std::get<I>(values)..., &place);
  }
  static int run_block(const unsigned char* args, BlockPlace& place) {
    return call_block(args, place, std::index_sequence_for<P...>{});
  }

  static const KernelOps& ops() {
    static const KernelOps o{Layout::at[Layout::count], &run_thread, form()->block ? &run_block : nullptr, form()};
    return o;
  }
};

}  // namespace detail
}  // namespace gpu_runtime
