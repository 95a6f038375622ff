// A kernel's block function: all threads of one block run as loops over the
// regions between its barriers.
#pragma once

#include <cstdint>
#include <string>

#include "llvm/ADT/SetVector.h"
#include "llvm/IR/Function.h"

namespace compiler::pass {

struct BlockForm {
  llvm::Function* block = nullptr;  ///< null when the kernel keeps a fiber per thread
  uint64_t scratch_per_thread = 0;  ///< bytes of per-thread slots
  unsigned regions = 0;             ///< parallel regions (1 for a kernel without barriers)
  bool rows = false;                ///< whether it also runs place.blocks_x blocks along x in one call
  std::string reason;               ///< why there is no block function
};

/// Builds the block function of `kernel`: int (kernel parameters..., ptr place),
/// where place points to a gpu_runtime::BlockPlace. `with_barriers` lists the
/// module's functions that reach a barrier. In a checked build (`checked`)
/// the block function tells the runtime which thread runs and when each
/// region starts.
BlockForm build_block_form(llvm::Function& kernel, const llvm::SetVector<llvm::Function*>& with_barriers, bool checked);

}  // namespace compiler::pass
