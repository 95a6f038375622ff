#include "fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <utility>

#if defined(GPU_RUNTIME_ASAN_FIBERS)
#include <sanitizer/common_interface_defs.h>
#endif

namespace gpu_cpu {

namespace ctx = boost::context::detail;

namespace {
std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}
}  // namespace

FiberStack::FiberStack() {
  const std::size_t guard = page_size();
  mapping_ = ::mmap(nullptr, kSize + guard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping_ == MAP_FAILED) throw std::bad_alloc();
  ::mprotect(mapping_, guard, PROT_NONE);
  usable_ = static_cast<char*>(mapping_) + guard;
}

FiberStack::~FiberStack() {
  if (mapping_) ::munmap(mapping_, kSize + page_size());
}

FiberStack::FiberStack(FiberStack&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)), usable_(std::exchange(other.usable_, nullptr)) {}

Context make_context(const FiberStack& stack, void (*entry)(Transfer)) {
  return ctx::make_fcontext(stack.top(), FiberStack::kSize, entry);
}

#if defined(GPU_RUNTIME_ASAN_FIBERS)

Transfer switch_into_fiber(Context to, const FiberStack& stack, void* data) {
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&fake_stack, stack.bottom(), FiberStack::kSize);
  Transfer t = ctx::jump_fcontext(to, data);
  __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
  return t;
}

void fiber_started(WorkerStack& worker) {
  __sanitizer_finish_switch_fiber(nullptr, &worker.bottom, &worker.size);
}

Transfer switch_to_worker(Context to, const WorkerStack& worker, void* data) {
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&fake_stack, worker.bottom, worker.size);
  Transfer t = ctx::jump_fcontext(to, data);
  __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
  return t;
}

void leave_fiber(Context to, const WorkerStack& worker, void* data) {
  __sanitizer_start_switch_fiber(nullptr, worker.bottom, worker.size);
  ctx::jump_fcontext(to, data);
  std::abort();  // a finished fiber is never resumed
}

#else

Transfer switch_into_fiber(Context to, const FiberStack&, void* data) { return ctx::jump_fcontext(to, data); }

void fiber_started(WorkerStack&) {}

Transfer switch_to_worker(Context to, const WorkerStack&, void* data) { return ctx::jump_fcontext(to, data); }

void leave_fiber(Context to, const WorkerStack&, void* data) {
  ctx::jump_fcontext(to, data);
  std::abort();  // a finished fiber is never resumed
}

#endif

}  // namespace gpu_cpu
