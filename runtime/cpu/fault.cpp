// A jump out of kernel code may go from a fiber's stack to the worker's,
// which glibc's checked longjmp takes for a corrupted stack: this file uses
// the plain one.
#undef _FORTIFY_SOURCE

#include "fault.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "launch_record.h"
#include "memory.h"

#if defined(GPU_RUNTIME_ASAN_FIBERS)
#include <sanitizer/common_interface_defs.h>
#endif

namespace gpu_runtime::cpu {

namespace {

// Set while this worker runs blocks; read by the signal handler, so a plain
// pointer with no dynamic initialisation.
constinit thread_local KernelExit* armed_exit = nullptr;

struct sigaction previous_segv, previous_bus;

constexpr std::size_t kSignalStackSize = 64 * 1024;

// A jump from a fiber's stack to the worker's leaves that fiber for good:
// AddressSanitizer is told of the switch (`sp`: the stack pointer of the
// code that faulted or failed a check). Within the worker's own stack a jump
// is an ordinary longjmp.
constinit thread_local bool switched_stacks = false;

void before_jump(const KernelExit& exit, std::uintptr_t sp) {
  const auto bottom = reinterpret_cast<std::uintptr_t>(exit.stack_bottom);
  switched_stacks = sp < bottom || sp - bottom >= exit.stack_size;
#if defined(GPU_RUNTIME_ASAN_FIBERS)
  if (switched_stacks) __sanitizer_start_switch_fiber(nullptr, exit.stack_bottom, exit.stack_size);
#endif
}

void after_jump() {
#if defined(GPU_RUNTIME_ASAN_FIBERS)
  if (switched_stacks) __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
#endif
  switched_stacks = false;
}

std::uintptr_t stack_pointer_of(void* context) {
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(static_cast<const ucontext_t*>(context)->uc_mcontext.gregs[REG_RSP]);
#else
  (void)context;
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}

// What a fault was: a write when the processor says so.
int access_of(void* context) {
#if defined(__x86_64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  return (uc->uc_mcontext.gregs[REG_ERR] & 2) ? 2 : 1;  // page-fault error code, bit 1: write
#else
  (void)context;
  return 0;
#endif
}

void on_fault(int signal, siginfo_t* info, void* context) {
  if (KernelExit* exit = armed_exit) {
    armed_exit = nullptr;
    exit->signal = signal;
    exit->address = info->si_addr;
    exit->access = signal == SIGSEGV ? access_of(context) : 0;
    before_jump(*exit, stack_pointer_of(context));
    siglongjmp(exit->resume, kFaulted);
  }
  // Not kernel code: whatever handled the signal before this runtime does.
  const struct sigaction& before = signal == SIGSEGV ? previous_segv : previous_bus;
  if (before.sa_flags & SA_SIGINFO) {
    before.sa_sigaction(signal, info, context);
    return;
  }
  if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
    before.sa_handler(signal);
    return;
  }
  // The default action: returning runs the faulting instruction again,
  // which now kills the process; a signal sent by kill() is sent again.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(signal, &dfl, nullptr);
  if (info->si_code <= 0) raise(signal);
}

void install_handler() {
  struct sigaction action {};
  action.sa_sigaction = &on_fault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &previous_segv);
  sigaction(SIGBUS, &action, &previous_bus);
}

const char* access_word(int access) { return access == 2 ? "write" : access == 1 ? "read" : "access"; }

}  // namespace

void prepare_worker_for_faults() {
  static std::once_flag installed;
  std::call_once(installed, install_handler);
  // The worker's signal stack lives as long as the worker, which is the
  // process: workers are never joined.
  void* stack = ::mmap(nullptr, kSignalStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED) return;  // faults still land, unless the stack itself overflowed
  stack_t ss{};
  ss.ss_sp = stack;
  ss.ss_size = kSignalStackSize;
  sigaltstack(&ss, nullptr);
}

void arm_kernel_exit(KernelExit* exit) { armed_exit = exit; }

void disarm_kernel_exit() { armed_exit = nullptr; }

void leave_kernel_code() {
  KernelExit* exit = armed_exit;
  if (!exit) std::abort();  // checks run only in kernel code, which runs armed
  armed_exit = nullptr;
  before_jump(*exit, reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  siglongjmp(exit->resume, kFailedCheck);
}

void after_landing(int reason) {
  after_jump();
  if (reason != kFaulted) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGSEGV);
  sigaddset(&set, SIGBUS);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void report_fault(const char* kernel, uint3 block, const KernelExit& exit) {
  const std::string name = readable_name(kernel);
  const std::string where = describe_device_address(exit.address);
  std::fprintf(stderr, "gpu runtime: kernel %s, block (%u, %u, %u): illegal memory %s%s at %s\n", name.c_str(),
               block.x, block.y, block.z, access_word(exit.access), exit.signal == SIGBUS ? " (bus error)" : "",
               where.c_str());
}

}  // namespace gpu_runtime::cpu
