// Kernel code that faults (SIGSEGV, SIGBUS) or fails a memory check stops
// its launch instead of the process. A worker arms a KernelExit, a point it
// took with sigsetjmp, before it runs blocks: a fault on that thread, on its
// own stack or on a fiber's, lands there (the handler runs on a stack of its
// own, so even an overflowing stack can be left), and so does a failed check.
// The worker then abandons the block, stops the launch and reports.
//
// Faults anywhere else (host code, the runtime between blocks) go on to
// whatever handled them before: by default the process dies of the signal,
// as it would without this runtime.
#pragma once

#include <csetjmp>
#include <cstddef>

#include "gpu_runtime/types.h"

namespace gpu_runtime::cpu {

/// How kernel code left its block, as sigsetjmp on a KernelExit returns it.
enum KernelExitReason : int { kStillRunning = 0, kFaulted = 1, kFailedCheck = 2 };

/// Where a worker resumes when the kernel code it runs faults or fails a check.
struct KernelExit {
  sigjmp_buf resume;
  // A fault's details, written by the signal handler.
  int signal = 0;
  const void* address = nullptr;
  int access = 0;  ///< 1 read, 2 write, 0 unknown
  // The worker's stack, which a jump from a fiber returns to (sanitizers
  // are told of the switch).
  const void* stack_bottom = nullptr;
  std::size_t stack_size = 0;
};

/// Installs the handler of SIGSEGV and SIGBUS for the process (the first
/// call) and gives the calling thread a signal stack of its own. Every
/// worker calls it before it runs kernel code.
void prepare_worker_for_faults();

/// Until disarm_kernel_exit(), a fault on this thread, or
/// leave_kernel_code(), resumes at `exit`, which must stay in scope.
void arm_kernel_exit(KernelExit* exit);
void disarm_kernel_exit();

/// Called by a check that failed (its report written): leaves the kernel
/// code at once for the armed exit.
[[noreturn]] void leave_kernel_code();

/// Called on landing at an exit (sigsetjmp returned `reason`): completes
/// the switch back to the worker's stack and, after a fault, unblocks the
/// fault signals, which stay blocked after a jump out of their handler.
void after_landing(int reason);

/// Writes the line that names a fault: the kernel (mangled name), its block
/// and the address, as the device's allocations place it.
void report_fault(const char* kernel, uint3 block, const KernelExit& exit);

}  // namespace gpu_runtime::cpu
