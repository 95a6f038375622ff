// Shared memory: every __shared__ variable of the module gets an offset in
// its block's shared memory, and its uses become addresses in that memory.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "llvm/IR/Module.h"

namespace compiler::pass {

/// Places the module's __shared__ variables (locals marked by the dialect,
/// variables at namespace scope) in block shared memory and rewrites their
/// uses to go through the device's shared-memory base; unsized extern
/// arrays that kernel code uses become the block's dynamic shared memory.
/// Two variables share bytes only when no kernel can reach both. Returns the
/// static shared bytes of each kernel.
std::map<llvm::Function*, uint64_t> lower_shared_memory(llvm::Module& m, const std::vector<llvm::Function*>& kernels);

}  // namespace compiler::pass
