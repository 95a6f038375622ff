#include "fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#if defined(GPU_RUNTIME_ASAN_FIBERS)
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(GPU_RUNTIME_BOOST_CONTEXT)
#include <boost/context/detail/fcontext.hpp>
#endif

namespace gpu_runtime::cpu {

#if defined(GPU_RUNTIME_BOOST_CONTEXT)
// Portable switch from Boost.Context, for processors without our own.
namespace {
Transfer gpu_jump_context(Context to, void* data) {
  const auto t = boost::context::detail::jump_fcontext(to, data);
  return {t.fctx, t.data};
}
}  // namespace
#else
extern "C" Transfer gpu_jump_context(Context to, void* data);
extern "C" void gpu_context_start();
#endif

namespace {
std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}
}  // namespace

FiberStack::FiberStack() {
  const std::size_t guard = page_size();
  void* mapping = ::mmap(nullptr, kSize + guard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  // The guard page makes a mapping of its own, which fails once the process
  // has as many as the system allows: no stack then, rather than one without
  // its guard.
  if (::mprotect(mapping, guard, PROT_NONE) != 0) {
    ::munmap(mapping, kSize + guard);
    throw std::bad_alloc();
  }
  mapping_ = mapping;
  usable_ = static_cast<char*>(mapping_) + guard;
}

FiberStack::~FiberStack() {
  if (mapping_) ::munmap(mapping_, kSize + page_size());
}

FiberStack::FiberStack(FiberStack&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)), usable_(std::exchange(other.usable_, nullptr)) {}

Context make_context(const FiberStack& stack, unsigned index, void (*entry)(Transfer)) {
  // 592 = 37 * 16 steps through all 256 16-byte-aligned offsets of a page.
  const std::size_t colour = (index * std::size_t{592}) % 4096;
#if defined(GPU_RUNTIME_BOOST_CONTEXT)
  using BoostEntry = void (*)(boost::context::detail::transfer_t);
  return boost::context::detail::make_fcontext(static_cast<char*>(stack.top()) - colour,
                                               FiberStack::kSize - colour, reinterpret_cast<BoostEntry>(entry));
#else
  // The first switch pops six registers (the entry into r12) and returns
  // into gpu_context_start with the stack 16-byte aligned for its call.
  const auto top = reinterpret_cast<std::uintptr_t>(stack.top()) - colour;
  auto** frame = reinterpret_cast<void**>((top & ~std::uintptr_t{15}) - 72);
  frame[0] = reinterpret_cast<void*>(entry);  // r12
  for (int i = 1; i < 6; ++i) frame[i] = nullptr;  // r13, r14, r15, rbx, rbp
  frame[6] = reinterpret_cast<void*>(&gpu_context_start);
  return frame;
#endif
}

#if defined(GPU_RUNTIME_ASAN_FIBERS)

Transfer switch_context(const SwitchTarget& to, void* data) {
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&fake_stack, to.stack_bottom, to.stack_size);
  Transfer t = gpu_jump_context(to.context, data);
  __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
  return t;
}

void arrived_in_new_fiber() { __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr); }

#else

Transfer switch_context(const SwitchTarget& to, void* data) { return gpu_jump_context(to.context, data); }

void arrived_in_new_fiber() {}

#endif

}  // namespace gpu_runtime::cpu
