// What a kernel's compiled forms and the CPU device agree on: the block
// place a block function receives, and the descriptor the compiler makes for
// every kernel. Plain C layout: the compiler pass builds both from offsets.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
namespace gpu_runtime {
#endif

/// One block of a launch, as its block function sees it.
struct BlockPlace {
  unsigned block[3];      ///< blockIdx
  unsigned block_dim[3];  ///< blockDim
  unsigned grid_dim[3];   ///< gridDim
  /// Blocks along x from `block` to run in this call, for a block function
  /// whose form has `rows` set (0 or 1: the one block). Such a function
  /// writes each block's x into block[0] as it starts it.
  unsigned blocks_x;
  void* shared;           ///< the block's static shared memory
  void* dynamic_shared;   ///< the block's extern __shared__ area
  void* scratch;          ///< per-thread slots: KernelForm::scratch_per_thread bytes a thread
  /// Written by a block function that found the block's threads disagreeing
  /// on barriers: the source lines of two of the places they stopped at
  /// (0 for the kernel's end).
  int divergent_lines[2];
};

/// What the compiler made of one kernel.
struct KernelForm {
  /// Runs a whole block: int (*)(kernel parameters..., const BlockPlace*),
  /// returning 0, or 1 when the block's threads disagreed on barriers.
  /// Null when the kernel runs a fiber per thread instead.
  const void* block;
  uint64_t static_shared;       ///< bytes of __shared__ variables
  uint64_t scratch_per_thread;  ///< bytes of per-thread slots the block function needs
  const char* form;             ///< "thread loops", "region loops" or "fibers"
  const char* reason;           ///< why it runs on fibers; null otherwise
  /// Nonzero when the block function also runs a row of blocks along x in
  /// one call (BlockPlace::blocks_x): a kernel without barriers or shared
  /// memory.
  uint64_t rows;
};

#ifdef __cplusplus
}  // namespace gpu_runtime
#endif
