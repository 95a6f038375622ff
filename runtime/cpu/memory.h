// Device memory of the CPU device: page-backed blocks, 256-byte aligned and
// zero-filled, up to the device's capacity. Which blocks the program may use
// is the API shell's table (common/allocation_table.h); calls that change
// them come under its lock. memory.cpp also holds the back end's memory and
// copy calls (common/back_end.h).
//
// Every block lies between two inaccessible guard regions (128 KiB each,
// reserved address space, never backed), placed so that its end (rounded up
// to 256 bytes) meets the guard above it: a kernel that runs off the end of
// a buffer faults at once instead of reading or corrupting a neighbour, and
// the data of two blocks are always 256 KiB apart. A freed block's pages are given back but its addresses stay
// reserved and inaccessible for a while, so a use after free faults too and
// can be named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace gpu_runtime::cpu {

/// One block of device memory as the device keeps it.
struct DeviceBlock {
  std::uintptr_t base = 0;
  std::size_t size = 0;
  /// The allocation's index, as the trace numbers allocations: successful
  /// allocations counted from 0 (the API shell's table counts the same way).
  std::uint64_t index = 0;
  bool freed = false;  ///< freed, its addresses still reserved
  /// The whole mapping, guard regions included.
  std::uintptr_t span_lo = 0, span_hi = 0;
};

/// Where an address lies relative to the nearest device block.
struct NearBlock {
  DeviceBlock block;
  std::int64_t offset = 0;  ///< address - block.base (negative below it)
};

class DeviceMemory {
 public:
  explicit DeviceMemory(std::size_t capacity) : capacity_(capacity) {}
  DeviceMemory(const DeviceMemory&) = delete;
  DeviceMemory& operator=(const DeviceMemory&) = delete;

  /// A fresh block of `size` bytes, or null when the device memory is exhausted.
  void* map(std::size_t size);

  /// Gives back the block of `size` bytes that map() returned at `base`; its
  /// addresses stay reserved (inaccessible) until later frees push it out.
  void unmap(void* base, std::size_t size);

  /// The block (live, or freed and still reserved) whose mapping, guard
  /// regions included, holds `p`. Thread-safe.
  std::optional<NearBlock> near(const void* p) const;

  /// Every live and reserved block, by base. Thread-safe.
  std::vector<DeviceBlock> blocks() const;

  /// Freed blocks kept reserved at most, and their address space at most.
  static constexpr std::size_t kReservedBlocks = 1024;
  static constexpr std::size_t kReservedBytes = std::size_t{8} << 30;

 private:
  void forget_oldest_freed();

  const std::size_t capacity_;
  std::size_t used_ = 0;
  std::uint64_t next_index_ = 0;
  mutable std::mutex mu_;  // guards the table: workers read it while the host allocates
  std::map<std::uintptr_t, DeviceBlock> blocks_;  ///< by span_lo
  std::deque<std::uintptr_t> freed_;              ///< span_lo of reserved freed blocks, oldest first
  std::size_t freed_bytes_ = 0;
};

/// The device's memory (16 GiB), made on first use and never destroyed.
DeviceMemory& device_memory();

/// `p` as reports name it: "allocation 3 + 16 (4096 bytes)", "allocation 3
/// + 4096, past the end of its 4096 bytes", "allocation 3 - 8, before its
/// start", "freed allocation 3 + 16 (4096 bytes)", or "0x... (no device
/// allocation near it)".
std::string describe_device_address(const void* p);

}  // namespace gpu_runtime::cpu
