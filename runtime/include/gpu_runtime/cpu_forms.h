// How a kernel runs on the CPU device: the forms of a kernel that the block
// runner (runtime/cpu/block_runner.cpp) calls. registration.h includes this
// header in the CPU build only; nvcc never sees it.
//
// Which form a kernel gets:
// - Every registered kernel has its thread form (KernelThunk, made by
//   GPU_KERNEL): one thread, or a run of threads as a plain loop. The block
//   runner runs thread 0 alone; if it meets no barrier the others follow as
//   the loop, otherwise every thread of the block gets a fiber.
// - A kernel that split_barriers (compiler/split_barriers) cut at its
//   barriers also has a region form (RegionThunk): a whole block, one barrier
//   region at a time for all its threads, without fibers.
// - A kernel with no barrier, no shared memory and no loop also has a row
//   form (RowThunk): a run of blocks side by side, thread row by thread row.
// The code split_barriers generates attaches the region and row forms
// (register_region_form, register_row_form) before main. A launch runs a
// kernel in its row form where it has one, else in its region form, else in
// its thread form; with CUDART_BARRIERS=fibers always in its thread form
// (runtime/cpu/runtime.cpp picks the forms, block_runner.cpp runs them).
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <tuple>
#include <utility>

#include "gpu_runtime/device.h"
#include "gpu_runtime/launch.h"

namespace gpu_runtime {

/// The most threads a block may have on the CPU device.
inline constexpr unsigned kMaxThreadsPerBlock = 1024;

/// Where a GPU thread runs: its built-in indices.
struct ThreadPlace {
  uint3 thread, block, block_dim, grid_dim;
};

/// How the CPU device runs one kernel, given its argument bytes as the launch
/// glue laid them out.
struct KernelOps {
  size_t args_size;  ///< bytes the parameters span
  /// Runs the kernel for one thread.
  void (*run_thread)(const unsigned char* args, const ThreadPlace& place);
  /// Runs threads first..count-1 of a block one after another, numbering them
  /// x fastest, then y, then z (place.thread is not used).
  void (*run_threads)(const unsigned char* args, const ThreadPlace& place, unsigned first, unsigned count);
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
  static std::tuple<P...> decode(const unsigned char* raw) {
    return decode(raw, std::index_sequence_for<P...>{});
  }
};

// Per translation unit, like the built-in indices these entry points set.
namespace {

// Sets the block's built-in indices for this unit's kernels.
inline void enter_block(const ThreadPlace& place) {
  blockIdx = place.block;
  blockDim = place.block_dim;
  gridDim = place.grid_dim;
}

template <auto Kernel>
struct KernelThunk;

template <typename... P, void (*Kernel)(P...)>
struct KernelThunk<Kernel> {
  using Layout = ArgLayout<P...>;

  static void run_thread(const unsigned char* args, const ThreadPlace& place) {
    enter_block(place);
    threadIdx = place.thread;
    std::apply(Kernel, Layout::decode(args));
  }

  // Flattened so the kernel body is inlined into the loop over threads: a
  // barrier-free kernel then runs as a plain loop, without a call per thread.
  [[gnu::flatten]] static void run_threads(const unsigned char* args, const ThreadPlace& place, unsigned first,
                                           unsigned count) {
    enter_block(place);
    const auto values = Layout::decode(args);
    // Row by row: within a row only threadIdx.x moves, so the kernel's use
    // of the other indices stays out of the inner loop.
    const unsigned bx = blockDim.x, by = blockDim.y;
    unsigned x = first % bx, y = (first / bx) % by, z = first / bx / by;
    for (unsigned t = first; t < count;) {
      const unsigned row_end = std::min(count, t + (bx - x));
      threadIdx = uint3{x, y, z};
      for (; t < row_end; ++t) {
        std::apply(Kernel, values);
        ++threadIdx.x;
      }
      x = 0;
      if (++y == by) {
        y = 0;
        ++z;
      }
    }
  }

  static constexpr KernelOps ops{Layout::at[Layout::count], &run_thread, &run_threads};
};

// The row form of a kernel that uses no barrier, no shared memory and no loop
// (see compiler/split_barriers): its blocks are independent down to the
// thread, so a run of blocks side by side along x can go thread row by
// thread row, as one loop over the run's columns. Threads of one block keep
// their order (x fastest, then y, then z).
template <auto Kernel>
struct RowThunk;

template <typename... P, void (*Kernel)(P...)>
struct RowThunk<Kernel> {
  using Layout = ArgLayout<P...>;
  static constexpr size_t args_size = Layout::at[Layout::count];

  // One int counter i runs over the columns blockIdx.x * W + threadIdx.x of
  // the run. With W a constant power of two the compiler sees through
  // i / W * W + i % W, so a kernel's usual column index is i itself, an
  // induction variable it can vectorise over.
  template <unsigned W, size_t... I>
  [[gnu::flatten]] static void rows(const unsigned char* args, const ThreadPlace& place, int first, int end,
                                    std::index_sequence<I...>) {
    // A local copy: the kernel's stores cannot reach it, so the arguments
    // stay in registers across the loop.
    const auto values = Layout::decode(args);
    const unsigned by = place.block.y, bz = place.block.z;
    const unsigned dy = place.block_dim.y, dz = place.block_dim.z;
    for (unsigned z = 0; z < dz; ++z) {
      for (unsigned y = 0; y < dy; ++y) {
        for (int i = first; i < end; ++i) {
          // Stored in every iteration so that the kernel's reads of it are
          // known constants there, as the loop's own stores make them.
          blockDim = uint3{W, dy, dz};
          blockIdx = uint3{unsigned(i) / W, by, bz};
          threadIdx = uint3{unsigned(i) % W, y, z};
          // A direct call: through std::apply the compiler no longer folds
          // the kernel's index arithmetic back to i.
          Kernel(std::get<I>(values)...);
        }
      }
    }
  }

  /// Runs blocks first_x .. first_x + count - 1 of the row of blocks at
  /// place.block.y, place.block.z. Returns false, running nothing, when the
  /// block width is not a power of two up to 1024 or the run's columns do
  /// not all fit an int.
  static bool run_rows(const unsigned char* args, const ThreadPlace& place, unsigned first_x, unsigned count) {
    const unsigned w = place.block_dim.x;
    const unsigned long long end = (unsigned long long)(first_x + 0ull + count) * w;
    if (w == 0 || (w & (w - 1)) != 0 || w > kMaxThreadsPerBlock || end > 0x7fffffffull) return false;
    gridDim = place.grid_dim;
    const int first = int(first_x * w), last = int(end);
    using Seq = std::index_sequence_for<P...>;
    switch (w) {
      case 1: rows<1>(args, place, first, last, Seq{}); break;
      case 2: rows<2>(args, place, first, last, Seq{}); break;
      case 4: rows<4>(args, place, first, last, Seq{}); break;
      case 8: rows<8>(args, place, first, last, Seq{}); break;
      case 16: rows<16>(args, place, first, last, Seq{}); break;
      case 32: rows<32>(args, place, first, last, Seq{}); break;
      case 64: rows<64>(args, place, first, last, Seq{}); break;
      case 128: rows<128>(args, place, first, last, Seq{}); break;
      case 256: rows<256>(args, place, first, last, Seq{}); break;
      case 512: rows<512>(args, place, first, last, Seq{}); break;
      default: rows<1024>(args, place, first, last, Seq{}); break;
    }
    return true;
  }
};

// The entry point of a kernel's region form (see compiler/split_barriers):
// a function with the kernel's parameters that runs a whole block, one
// barrier region at a time, and returns true when it ran to its end.
template <auto Form>
struct RegionThunk;

template <typename... P, bool (*Form)(P...)>
struct RegionThunk<Form> {
  using Layout = ArgLayout<P...>;
  static constexpr size_t args_size = Layout::at[Layout::count];

  static bool run_block(const unsigned char* args, const ThreadPlace& place) {
    enter_block(place);
    return std::apply(Form, Layout::decode(args));
  }
};

}  // namespace
}  // namespace detail

/// Runs one whole block of a kernel split at its barriers; false when the
/// block did not run to its end.
using RegionRunner = bool (*)(const unsigned char* args, const ThreadPlace& place);

/// Tells the CPU device that the kernel with this host entry also has a
/// region form, which runs its blocks without a stack per thread. The form
/// must take the kernel's parameters (args_size bytes of them); a launch
/// uses it unless CUDART_BARRIERS=fibers. Returns true.
bool attach_region_form(const void* kernel_host_entry, RegionRunner run_block, size_t args_size);

/// Runs a run of blocks of a kernel in its row form (see RowThunk); false
/// when it cannot, having run nothing.
using RowRunner = bool (*)(const unsigned char* args, const ThreadPlace& place, unsigned first_x, unsigned count);

/// Tells the CPU device that the blocks of the kernel with this host entry
/// may run side by side (it uses no barrier and no shared memory). A launch
/// uses the row form unless CUDART_BARRIERS=fibers. Returns true.
bool attach_row_form(const void* kernel_host_entry, RowRunner run_rows, size_t args_size);

namespace {
template <auto Form>
bool register_region_form(const void* kernel_host_entry) {
  using Thunk = detail::RegionThunk<Form>;
  return attach_region_form(kernel_host_entry, &Thunk::run_block, Thunk::args_size);
}

template <auto Kernel>
bool register_row_form(const void* kernel_host_entry) {
  using Thunk = detail::RowThunk<Kernel>;
  return attach_row_form(kernel_host_entry, &Thunk::run_rows, Thunk::args_size);
}
}  // namespace

}  // namespace gpu_runtime
