// The names by which kernel code reaches the device, and what the pass reads
// off a module: its kernels, the device built-ins they call, their barriers.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "llvm/ADT/SetVector.h"
#include "llvm/IR/Function.h"
#include "llvm/IR/Instructions.h"
#include "llvm/IR/Module.h"

namespace compiler::pass {

/// A built-in index the dialect reads through a call.
enum class Builtin { ThreadIdx, BlockIdx, BlockDim, GridDim };

struct BuiltinRead {
  Builtin builtin;
  unsigned dim;  ///< 0 for x, 1 for y, 2 for z
};

/// The built-in index read by a call, if it is one.
std::optional<BuiltinRead> builtin_read(const llvm::CallBase& call);

/// The kind of barrier a call is.
enum class BarrierKind { Plain, Count, And, Or };

/// The barrier a call is, if it is one.
std::optional<BarrierKind> barrier_kind(const llvm::CallBase& call);

/// The source line a barrier call carries.
int barrier_line(const llvm::CallBase& call);

/// Calls the pass inserts and the CPU device defines for code that runs a
/// fiber per thread: the block's static and dynamic shared memory.
inline constexpr const char* kSharedMemory = "__gpu_shared_memory";
inline constexpr const char* kDynamicSharedMemory = "__gpu_dynamic_shared_memory";
/// Asked by the registration code: what the compiler made of a kernel.
inline constexpr const char* kKernelForm = "__gpu_kernel_form";

/// The functions marked __global__ in this module.
std::vector<llvm::Function*> kernels(llvm::Module& m);

/// Whether a call is one of the device's built-in reads or inserted calls,
/// which never need inlining and never hide a barrier.
bool is_device_intrinsic(const llvm::Function& f);

/// Functions defined in the module that call a barrier, directly or through
/// other functions of the module.
llvm::SetVector<llvm::Function*> functions_with_barriers(llvm::Module& m);

/// The functions a kernel may reach through direct calls (itself included).
llvm::SetVector<llvm::Function*> reachable_functions(llvm::Function& kernel);

}  // namespace compiler::pass
