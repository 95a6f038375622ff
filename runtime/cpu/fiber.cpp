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
#if defined(GPU_RUNTIME_TSAN_FIBERS)
#include <sanitizer/tsan_interface.h>

#include <unordered_map>
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

#if defined(GPU_RUNTIME_TSAN_FIBERS)
// ThreadSanitizer takes each fiber for a thread of its own, so the GPU
// threads of one block are checked against each other as well as against
// other blocks. Fibers switch without synchronising; what orders one GPU
// thread's accesses before another's is spelled out here instead, after
// the barriers:
//
// The threads of a block take turns in index order, a turn ending at a
// barrier (or at the thread's end), so the turns from the lowest unfinished
// thread to the highest make one round: one phase between two barriers.
// A context leaving its turn publishes what it did in the round's sync
// object; a context starting its turn takes in the previous round's, which
// holds every thread's work up to the barrier just passed, and nothing of
// the round under way. Thread 0 runs on the worker itself, which also hands
// each block's launch to the fibers: what the worker did up to leaving its
// turn reaches every fiber, so thread 0's accesses in a phase are ordered
// before the others' in that phase. Races between any two other threads of a
// block, within a phase, are seen.
//
// The records of whose turn it is, handed from fiber to fiber (here and in
// the block runner), are no accesses of the kernel: both files are built
// without the checks, and nothing here synchronises (a lock taken at every
// switch would order every turn after the one before).
namespace {

struct TsanFiber {
  void* fiber = nullptr;  ///< ThreadSanitizer's handle
  unsigned index = 0;     ///< the GPU thread it runs (make_context's index)
};

// Per worker: its own context (thread 0), its fibers by their stack's
// bottom (as SwitchTarget names them) and their rounds. A worker's fibers are
// made, switched and destroyed on that worker's thread alone.
struct TsanWorker {
  void* fiber = nullptr;  ///< the worker's own, found on its first switch
  unsigned running = 0;   ///< index of the context running now
  std::uint64_t round = 0;
  char rounds[2] = {};    ///< sync objects: the work of even and odd rounds
  char worker = 0;        ///< sync object: what the worker knew when it last left its turn
  // Never destroyed: the block runner's stacks outlive the thread's other
  // thread-local objects.
  std::unordered_map<const void*, TsanFiber>* fibers = new std::unordered_map<const void*, TsanFiber>;
};
thread_local TsanWorker tsan_worker;

void tsan_start_turn() {
  TsanWorker& w = tsan_worker;
  __tsan_acquire(&w.rounds[(w.round - 1) & 1]);
  __tsan_acquire(&w.worker);
}

}  // namespace
#endif

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
#if defined(GPU_RUNTIME_TSAN_FIBERS)
  (*tsan_worker.fibers)[usable_].fiber = __tsan_create_fiber(0);
#endif
}

FiberStack::~FiberStack() {
  if (!mapping_) return;
#if defined(GPU_RUNTIME_TSAN_FIBERS)
  const auto it = tsan_worker.fibers->find(usable_);
  __tsan_destroy_fiber(it->second.fiber);
  tsan_worker.fibers->erase(it);
#endif
  ::munmap(mapping_, kSize + page_size());
}

FiberStack::FiberStack(FiberStack&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)), usable_(std::exchange(other.usable_, nullptr)) {}

Context make_context(const FiberStack& stack, unsigned index, void (*entry)(Transfer)) {
#if defined(GPU_RUNTIME_TSAN_FIBERS)
  (*tsan_worker.fibers)[stack.bottom()].index = index;
#endif
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

#elif defined(GPU_RUNTIME_TSAN_FIBERS)

Transfer switch_context(const SwitchTarget& to, void* data) {
  TsanWorker& w = tsan_worker;
  if (!w.fiber) w.fiber = __tsan_get_current_fiber();  // fibers only start from the worker
  TsanFiber target{w.fiber, 0};  // a stack that is no fiber's is the worker's
  if (const auto it = w.fibers->find(to.stack_bottom); it != w.fibers->end()) target = it->second;
  __tsan_release(&w.rounds[w.round & 1]);
  if (w.running == 0) __tsan_release(&w.worker);
  if (target.index <= w.running) ++w.round;  // turns wrap round: the next phase begins
  w.running = target.index;
  __tsan_switch_to_fiber(target.fiber, __tsan_switch_to_fiber_no_sync);
  Transfer t = gpu_jump_context(to.context, data);
  tsan_start_turn();
  return t;
}

void arrived_in_new_fiber() { tsan_start_turn(); }

#else

Transfer switch_context(const SwitchTarget& to, void* data) { return gpu_jump_context(to.context, data); }

void arrived_in_new_fiber() {}

#endif

}  // namespace gpu_runtime::cpu
