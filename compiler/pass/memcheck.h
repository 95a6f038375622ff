// Checked builds (gpucc --memcheck): every access kernel code makes to
// memory other than its own locals first tells the runtime what it is
// about to do, so the runtime can check it against the device's
// allocations and the block's shared memory, and record footprints.
#pragma once

#include "llvm/IR/Function.h"
#include "llvm/IR/Module.h"

namespace compiler::pass {

/// Whether the module was compiled for checking: the dialect defines this
/// marker when GPU_MEMCHECK is defined.
bool checked_build(const llvm::Module& m);

/// Puts a check before every load, store, atomic and memory intrinsic of `f`
/// whose address is not one of its own locals:
///   __gpu_check_access(address, bytes, kind, site)
/// kind: 1 read, 2 write (3 both, atomics), site: a constant record of the
/// source file, line and column and the kernel's name. Returns the number
/// of checks placed.
unsigned instrument_accesses(llvm::Function& f, llvm::StringRef kernel_name);

/// Kind bits of a checked access.
inline constexpr unsigned kCheckRead = 1, kCheckWrite = 2;

/// Names of the runtime's checking entry points. A block function also says
/// which thread runs (__gpu_check_thread(x, y, z)) before each thread's
/// part of a region, and when a region starts (__gpu_check_region()).
inline constexpr const char* kCheckAccess = "__gpu_check_access";
inline constexpr const char* kCheckThread = "__gpu_check_thread";
inline constexpr const char* kCheckRegion = "__gpu_check_region";
inline constexpr const char* kMemcheckMarker = "__gpu_memcheck_build";

}  // namespace compiler::pass
