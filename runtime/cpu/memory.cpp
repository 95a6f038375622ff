#include "memory.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/activity.h"
#include "common/back_end.h"
#include "common/trace.h"
#include "device.h"
#include "gpu_runtime/types.h"
#include "launch_engine.h"

namespace gpu_runtime::cpu {

namespace {
constexpr std::size_t kPage = 4096;     // the mapping's granule: zero fill for free
constexpr std::size_t kAlignment = 256;  // what the API promises of a base
// Inaccessible address space on each side of a block: reserved, never
// backed. Wide enough that a kernel striding off a buffer's end usually
// faults within it rather than in a neighbour.
constexpr std::size_t kGuard = 128 * 1024;

std::size_t data_pages(std::size_t size) { return size == 0 ? 1 : (size + kPage - 1) / kPage; }
std::size_t mapped_size(std::size_t size) { return data_pages(size) * kPage; }
}  // namespace

void* DeviceMemory::map(std::size_t size) {
  if (size > capacity_) return nullptr;
  const std::size_t bytes = mapped_size(size);
  if (bytes > capacity_ - used_) return nullptr;
  // [guard][data pages][guard], the block's rounded end against the upper guard.
  const std::size_t span = bytes + 2 * kGuard;
  void* p = ::mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const auto lo = reinterpret_cast<std::uintptr_t>(p);
  if (::mprotect(reinterpret_cast<void*>(lo + kGuard), bytes, PROT_READ | PROT_WRITE) != 0) {
    ::munmap(p, span);
    return nullptr;
  }
  used_ += bytes;
  const std::size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
  DeviceBlock block;
  block.base = lo + kGuard + bytes - rounded;
  block.size = size;
  block.index = next_index_++;
  block.span_lo = lo;
  block.span_hi = lo + span;
  std::lock_guard lock(mu_);
  blocks_[lo] = block;
  return reinterpret_cast<void*>(block.base);
}

void DeviceMemory::unmap(void* base, std::size_t size) {
  const std::size_t bytes = mapped_size(size);
  std::lock_guard lock(mu_);
  const auto at = reinterpret_cast<std::uintptr_t>(base);
  auto it = blocks_.upper_bound(at);
  if (it == blocks_.begin()) return;
  --it;
  DeviceBlock& block = it->second;
  if (block.base != at || block.freed) return;
  // New inaccessible pages over the data: the memory goes back to the
  // system, the addresses stay ours.
  ::mmap(reinterpret_cast<void*>(block.span_lo + kGuard), bytes, PROT_NONE,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
  used_ -= bytes;
  block.freed = true;
  freed_.push_back(block.span_lo);
  freed_bytes_ += block.span_hi - block.span_lo;
  while (freed_.size() > kReservedBlocks || freed_bytes_ > kReservedBytes) forget_oldest_freed();
}

void DeviceMemory::forget_oldest_freed() {
  const auto it = blocks_.find(freed_.front());
  freed_.pop_front();
  if (it == blocks_.end()) return;
  const std::size_t span = it->second.span_hi - it->second.span_lo;
  freed_bytes_ -= span;
  ::munmap(reinterpret_cast<void*>(it->second.span_lo), span);
  blocks_.erase(it);
}

std::optional<NearBlock> DeviceMemory::near(const void* p) const {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  std::lock_guard lock(mu_);
  auto above = blocks_.upper_bound(at);
  if (above == blocks_.begin()) return std::nullopt;
  const DeviceBlock& below = std::prev(above)->second;
  if (at >= below.span_hi) return std::nullopt;
  return NearBlock{below, static_cast<std::int64_t>(at - below.base)};
}

std::vector<DeviceBlock> DeviceMemory::blocks() const {
  std::lock_guard lock(mu_);
  std::vector<DeviceBlock> out;
  out.reserve(blocks_.size());
  for (const auto& [lo, block] : blocks_) out.push_back(block);
  return out;
}

DeviceMemory& device_memory() {
  static DeviceMemory* memory = new DeviceMemory(DeviceLimits::kGlobalMemory);
  return *memory;
}

std::string describe_device_address(const void* p) {
  char text[160];
  const std::optional<NearBlock> near = device_memory().near(p);
  if (!near) {
    std::snprintf(text, sizeof text, "0x%llx (no device allocation near it)",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
  }
  const DeviceBlock& b = near->block;
  const auto index = static_cast<unsigned long long>(b.index);
  const auto size = static_cast<unsigned long long>(b.size);
  const std::int64_t off = near->offset;
  if (b.freed)
    std::snprintf(text, sizeof text, "freed allocation %llu %c %llu (%llu bytes)", index, off < 0 ? '-' : '+',
                  static_cast<unsigned long long>(off < 0 ? -off : off), size);
  else if (off < 0)
    std::snprintf(text, sizeof text, "allocation %llu - %llu, before its start", index,
                  static_cast<unsigned long long>(-off));
  else if (static_cast<std::uint64_t>(off) >= b.size)
    std::snprintf(text, sizeof text, "allocation %llu + %llu, past the end of its %llu bytes", index,
                  static_cast<unsigned long long>(off), size);
  else
    std::snprintf(text, sizeof text, "allocation %llu + %llu (%llu bytes)", index, static_cast<unsigned long long>(off),
                  size);
  return text;
}

}  // namespace gpu_runtime::cpu

namespace gpu_runtime::common::back_end {

int allocate(void** ptr, std::size_t size, bool injected) {
  if (!ptr) return cudaErrorInvalidValue;
  void* p = injected ? nullptr : cpu::device_memory().map(size);
  if (!p) return cudaErrorMemoryAllocation;
  *ptr = p;
  return cudaSuccess;
}

int release(void* ptr, const std::optional<Allocation>& allocation, bool injected) {
  cpu::launch_engine().wait_idle();  // a kernel may still be using it
  if (injected) return cudaErrorInvalidDevicePointer;
  if (!ptr) return cudaSuccess;
  if (!allocation) return cudaErrorInvalidDevicePointer;
  cpu::device_memory().unmap(ptr, allocation->size);
  return cudaSuccess;
}

CopySides copy_sides(const AllocationTable&, const void*, const void*, int kind) { return sides_of_kind(kind); }

int copy(const AllocationTable& allocations, void* dst, const void* src, std::size_t count, int kind,
         CopySides sides, bool injected) {
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDeviceToDevice) return cudaErrorInvalidMemcpyDirection;
  if (injected) return cudaErrorInvalidValue;  // a copy of no bytes is a call like any other
  if (count > 0) {
    const bool dst_ok = sides.dst_device ? allocations.covers(dst, count) : dst != nullptr;
    const bool src_ok = sides.src_device ? allocations.covers(src, count) : src != nullptr;
    if (!dst_ok || !src_ok) return cudaErrorInvalidValue;
  }
  // The copy follows every earlier launch; an error one raised is reported here.
  const int status = cpu::launch_engine().synchronize();
  if (status != cudaSuccess) return status;
  const std::int64_t began = activity::enabled() ? activity::now() : 0;
  if (count > 0) std::memmove(dst, src, count);
  if (activity::enabled()) activity::copy_finished(sides, count, began, activity::now());
  return status;
}

std::string copied_digest(void* dst, const void*, std::size_t count, CopySides) { return fnv1a_hex(dst, count); }

}  // namespace gpu_runtime::common::back_end
