// Checking the accesses of kernel code, for programs built to be checked
// (gpucc --memcheck): the kernel compiler puts a call of
// __gpu_check_access before every load, store, atomic and memory
// intrinsic whose address is not a local of the function, and block
// functions say which thread runs (__gpu_check_thread) and when a barrier
// phase begins (__gpu_check_region). The runtime defines these in every
// build; they return at once unless the launch running on the worker is
// checked.
//
// CUDART_MEMCHECK=1: each access must lie wholly in a live device
// allocation, in the block's shared memory (static and dynamic bytes of the
// launch), in the program's static data or on the running thread's stack,
// and be aligned as the code assumes. The first access that is not fails the
// launch (status 700, as a fault would) with a report naming the access,
// the kernel, block and thread, the address as allocation + offset (or
// shared-memory offset) and the source line; the access is not made. Two
// threads of a block touching the same shared-memory byte between the same
// two barriers, one of them writing, are reported once per pair of source
// places; the launch goes on.
//
// CUDART_FOOTPRINT=1: every access to a live allocation is recorded per CTA
// (merged byte ranges, read and written), for the API shell to compare with
// the CTA tracker's registrations (common/footprint.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/footprint.h"
#include "gpu_runtime/types.h"
#include "memory.h"

namespace gpu_runtime::cpu {

struct Launch;

/// What one launch checks and records, shared by its workers.
struct LaunchChecks {
  bool memcheck = false;
  bool footprint = false;
  /// Whether a failed check has been reported: one report per launch.
  std::atomic<bool> reported{false};
  /// The device blocks when the launch was made, by base: a kernel can reach
  /// no other (a block freed later waits for the launch to end).
  std::vector<DeviceBlock> blocks;
  /// Footprints: each CTA's ranges, by linear block index; each slot is
  /// written by the one worker that ran the block.
  std::vector<common::CtaAccesses> ctas;
};

/// What CUDART_MEMCHECK and CUDART_FOOTPRINT ask of a launch of `blocks`
/// CTAs made now, or null when they ask nothing. The first time either is
/// set in a program that was not built for checking, says so on standard
/// error, once.
std::shared_ptr<LaunchChecks> checks_for_launch(std::uint64_t blocks);

// The worker side, from the launch engine and the block runner.

/// This worker runs blocks of `launch` (whose checks are set) until end_checked_launch().
void begin_checked_launch(Launch& launch);
void end_checked_launch();
/// A block starts: its indices, linear index and shared memory (`shared_bytes`
/// of the launch's static and dynamic shared memory at `shared`).
void begin_checked_block(std::uint64_t linear, uint3 block, uint3 block_dim, const void* shared,
                         std::size_t shared_bytes);
/// The block ended; its footprint goes to the launch. Also after a fault.
void end_checked_block();
/// The running block's threads all passed a barrier (threads run one at a time).
void next_checked_phase();

}  // namespace gpu_runtime::cpu
