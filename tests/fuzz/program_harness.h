// What the harnesses that run a program's own code in-process share: the
// program's exit() taken back to the harness and the host and device buffers
// it left freed (the binary links with --wrap for exit, malloc, calloc, free,
// cudaMalloc and cudaFree),
// and a working folder of their own for the files the programs read and
// write. Included by one source of each such harness: it defines the
// wrappers.
#pragma once

#include <pthread.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gpu_runtime.h"

namespace fuzz_program {

inline std::jmp_buf exit_jump;
inline bool in_program = false;
inline pthread_t program_thread;

// Buffers the program allocated during a run and has not freed: a program
// that exits leaves them to the process's end, which here never comes, so
// the harness frees them after the run.
struct Held {
  void* buffers[64];
  int count = 0;

  void hold(void* p) {
    if (p && count < 64) buffers[count++] = p;
  }
  void release(void* p) {
    for (int i = 0; i < count; i++) {
      if (buffers[i] == p) {
        buffers[i] = buffers[--count];
        return;
      }
    }
  }
};

// Host buffers (--wrap=malloc, calloc and free), and device buffers
// (--wrap=cudaMalloc and cudaFree), each of which holds memory and mappings
// (its guard regions) that a long run of exits would otherwise use up.
inline Held host_buffers, device_buffers;

inline bool tracking() { return in_program && pthread_equal(pthread_self(), program_thread); }

/// Runs `body` (program code) and returns normally whether it returns or
/// calls exit(), freeing what it left allocated. The programs end on bad
/// input by exiting: that is their answer, not a crash.
template <typename Body>
void run(Body body) {
  program_thread = pthread_self();
  host_buffers.count = 0;
  device_buffers.count = 0;
  in_program = true;
  if (setjmp(exit_jump) == 0) body();
  in_program = false;
  while (host_buffers.count > 0) std::free(host_buffers.buffers[--host_buffers.count]);
  while (device_buffers.count > 0) cudaFree(device_buffers.buffers[--device_buffers.count]);
}

/// Moves into a fresh folder under the system's temporary folder, where the
/// programs' fixed file names then resolve.
inline void enter_work_folder(const char* name) {
  std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/" + name + "-XXXXXX";
  if (!mkdtemp(path.data()) || chdir(path.c_str()) != 0) {
    std::perror("cannot make a working folder");
    std::abort();
  }
}

/// Writes `bytes` as the file `path` (relative to the working folder).
inline void write_file(const char* path, const void* bytes, size_t size) {
  FILE* f = std::fopen(path, "wb");
  if (!f || std::fwrite(bytes, 1, size, f) != size || std::fclose(f) != 0) {
    std::perror(path);
    std::abort();
  }
}

}  // namespace fuzz_program

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" cudaError_t __real_cudaMalloc(void** p, size_t size);
extern "C" cudaError_t __real_cudaFree(void* p);

extern "C" cudaError_t __wrap_cudaMalloc(void** p, size_t size) {
  const cudaError_t status = __real_cudaMalloc(p, size);
  if (status == cudaSuccess && fuzz_program::tracking()) fuzz_program::device_buffers.hold(*p);
  return status;
}

extern "C" cudaError_t __wrap_cudaFree(void* p) {
  if (fuzz_program::tracking()) fuzz_program::device_buffers.release(p);
  return __real_cudaFree(p);
}
extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void __real_free(void* p);

extern "C" void* __wrap_malloc(size_t size) {
  void* p = __real_malloc(size);
  if (fuzz_program::tracking()) fuzz_program::host_buffers.hold(p);
  return p;
}

extern "C" void* __wrap_calloc(size_t count, size_t size) {
  void* p = __real_calloc(count, size);
  if (fuzz_program::tracking()) fuzz_program::host_buffers.hold(p);
  return p;
}

extern "C" void __wrap_free(void* p) {
  if (fuzz_program::tracking()) fuzz_program::host_buffers.release(p);
  __real_free(p);
}

// The link sends every exit() of the harness's objects here: inside a
// program run it goes back to run(); elsewhere (libFuzzer ending) it exits.
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (fuzz_program::in_program) {
    fuzz_program::in_program = false;
    std::longjmp(fuzz_program::exit_jump, 1);
  }
  __real_exit(status);
}
