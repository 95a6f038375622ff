// The device allocations made through cudaMalloc, as the layer saw them: the
// trace names device addresses by allocation index and offset, and the CTA
// tracker checks each named range against the allocation its base lies in.
// Not thread-safe: the runtime serialises calls into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

namespace gpu_runtime::cuda {

struct Allocation {
  std::uintptr_t base = 0;
  std::size_t size = 0;
  std::uint64_t index = 0;  ///< counts successful cudaMalloc calls from 0
};

class AllocationTable {
 public:
  /// Records a successful allocation and returns it with its index. A null
  /// base (the vendor's answer to 0 bytes) takes an index but no entry.
  Allocation add(const void* base, std::size_t size);

  /// Forgets the allocation based at `p`; false when there is none.
  bool remove(const void* p);

  /// The live allocation holding address `p` (its base for a 0-byte one).
  std::optional<Allocation> containing(const void* p) const;

 private:
  std::map<std::uintptr_t, Allocation> live_;
  std::uint64_t next_index_ = 0;
};

}  // namespace gpu_runtime::cuda
