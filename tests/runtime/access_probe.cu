// access_probe <scenario>: kernels that touch memory they must not, one
// scenario at a time, printing the status of each call that follows, so
// tests can watch faults, memory checks and measured footprints from the
// outside. Built twice: as is, and for checking (access_probe_checked).
// The lines marked "@name" are the places reports must name.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gpu_runtime.h"

// a[i] = i for the first n threads of a 1-D grid.
__global__ void store_each(float* a, int n) {
  int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) a[i] = (float)i;  // @store
}

// out[i] = a[i + offset] for every thread of a 1-D grid.
__global__ void load_each(const float* a, float* out, int offset) {
  int i = blockIdx.x * blockDim.x + threadIdx.x;
  out[i] = a[i + offset];  // @load
}

// The classic stride bug: a[i * stride] over a 1-D grid.
__global__ void scatter(float* a, int stride) {
  int i = blockIdx.x * blockDim.x + threadIdx.x;
  a[i * stride] = 1.0f;  // @scatter
}

// Stores ints at odd addresses.
__global__ void misaligned_store(char* a) {
  *(int*)(a + 2 + 4 * threadIdx.x) = 1;  // @misaligned
}

// A 32-float shared tile written by every thread of a larger block.
__global__ void shared_past_end(float* out) {
  __shared__ float tile[32];
  tile[threadIdx.x] = 1.0f;  // @shared-store
  out[threadIdx.x] = tile[threadIdx.x % 32];
}

// Each thread writes its shared element and reads its neighbour's, with a
// barrier between (sync != 0) or without; each block stores into its own
// half of out.
__global__ void neighbours(float* out, int sync) {
  __shared__ float tile[64];
  tile[threadIdx.x] = (float)threadIdx.x;  // @race-write
  if (sync) __syncthreads();
  out[blockIdx.x * 64 + threadIdx.x] = tile[(threadIdx.x + 1) % 64];  // @race-read
}

// Each thread sets its own byte of a shared array; with whole != 0 it then
// reads the 4-byte word holding it, which other threads write too.
__global__ void byte_flags(int* out, int whole) {
  __shared__ unsigned char flags[64];
  flags[threadIdx.x] = 1;  // @flag-write
  if (whole) out[threadIdx.x] = ((int*)flags)[threadIdx.x / 4];  // @word-read
  else out[threadIdx.x] = flags[threadIdx.x];
}

// Threads exchange through shared memory across a barrier; in block 2,
// thread 37 then writes a[n], past the end of the buffer: under
// CUDART_BARRIERS=fibers that thread runs on a fiber of its own.
__global__ void exchange_then_store(float* a, int n) {
  __shared__ float tile[256];
  tile[threadIdx.x] = (float)threadIdx.x;
  __syncthreads();
  if (blockIdx.x == 2 && threadIdx.x == 37) a[n] = 1.0f;  // @fiber-store
  a[blockIdx.x * blockDim.x + threadIdx.x] = tile[255 - threadIdx.x];
}

// Recursion without end: the thread's stack overflows. Thread 1 recurses
// after a barrier, so that under fibers it does so on a fiber's stack.
__device__ __attribute__((noinline)) int descend(volatile char* up, int depth) {
  volatile char frame[2048];
  frame[0] = up[0] + 1;
  return depth > 0 ? descend(frame, depth - 1) + frame[1] : frame[0];
}
__global__ void overflow(int* out, int depth) {
  __shared__ int seen;
  if (threadIdx.x == 0) seen = 1;
  __syncthreads();
  volatile char top[16] = {1};
  if (threadIdx.x == 1) out[0] = descend(top, depth) + seen;
}

// Writes a marker; used to see whether a launch ran.
__global__ void mark(int* out) { out[0] = 7; }

// CTA x reads a[16x .. 16x + 15] (one element per thread) and, with
// past != 0, thread 15 also reads a[16x + 16]; each thread writes its
// element of out, or with clash != 0 thread 0 of every CTA also writes
// out[0].
__global__ void read_tiles(const int* a, int* out, int past, int clash) {
  int i = blockIdx.x * 16 + threadIdx.x;
  int v = a[i];
  if (past && threadIdx.x == 15) v += a[i + 1];
  out[i] = v;
  if (clash && threadIdx.x == 0) out[0] = v;
}

GPU_DEVICE_CODE(GPU_KERNEL(store_each, "_Z10store_eachPfi"), GPU_KERNEL(load_each, "_Z9load_eachPKfPfi"),
                GPU_KERNEL(scatter, "_Z7scatterPfi"), GPU_KERNEL(misaligned_store, "_Z16misaligned_storePc"),
                GPU_KERNEL(shared_past_end, "_Z15shared_past_endPf"), GPU_KERNEL(neighbours, "_Z10neighboursPfi"),
                GPU_KERNEL(exchange_then_store, "_Z19exchange_then_storePfi"),
                GPU_KERNEL(overflow, "_Z8overflowPii"), GPU_KERNEL(mark, "_Z4markPi"),
                GPU_KERNEL(byte_flags, "_Z10byte_flagsPii"),
                GPU_KERNEL(read_tiles, "_Z10read_tilesPKiPiii"))

static void report(const char* call, int status) { printf("%s %d\n", call, status); }

static float* device_floats(int n) {
  float* p = nullptr;
  report("cudaMalloc", cudaMalloc((void**)&p, n * sizeof(float)));
  return p;
}

// The launch's outcome, then that every later call that needs the device
// keeps failing the same way while the others still work.
static void after_fault() {
  report("cudaThreadSynchronize", cudaThreadSynchronize());
  report("cudaThreadSynchronize", cudaThreadSynchronize());
  report("cudaGetLastError", cudaGetLastError());
  report("cudaGetLastError", cudaGetLastError());
  float* p = nullptr;
  report("cudaMalloc", cudaMalloc((void**)&p, 64));
  float host[4] = {0};
  report("cudaMemcpy", cudaMemcpy(host, host, sizeof host, cudaMemcpyHostToHost));
  report("launch", launchKernel(store_each, dim3(1), dim3(1), p, 1));
  int count = 0;
  report("cudaGetDeviceCount", cudaGetDeviceCount(&count));
}

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  if (scenario == "past-end-write") {
    // 1024 floats fill 4096 bytes: thread 1024 (block 33, thread 1) alone
    // writes just past them; on one worker the blocks run four to a row
    // (32 to 35), and the fault still names its block.
    float* a = device_floats(1024);
    launchKernel(store_each, dim3(64), dim3(31), a, 1025);
    after_fault();
  } else if (scenario == "past-end-read" || scenario == "before-start" || scenario == "past-slack") {
    // past-slack: 100 floats, read one past: inside the 256-byte rounding.
    const int n = scenario == "past-slack" ? 100 : 1024;
    float* a = device_floats(n);
    float* out = device_floats(n);
    const int block = n == 100 ? 100 : 256;
    launchKernel(load_each, dim3(n / block), dim3(block), a, out, scenario == "before-start" ? -1 : 1);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "freed") {
    float* a = device_floats(1024);
    float* out = device_floats(1024);
    report("cudaFree", cudaFree(a));
    launchKernel(load_each, dim3(4), dim3(256), a, out, 0);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "null") {
    launchKernel(store_each, dim3(1), dim3(32), (float*)nullptr, 32);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "host-memory") {
    float* host = (float*)calloc(64, sizeof(float));
    launchKernel(store_each, dim3(1), dim3(64), host, 64);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
    free(host);
  } else if (scenario == "scatter") {
    // 64 x 256 threads writing a[i * 4096] into 1024 floats.
    float* a = device_floats(1024);
    launchKernel(scatter, dim3(64), dim3(256), a, 4096);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "misaligned") {
    char* a = nullptr;
    report("cudaMalloc", cudaMalloc((void**)&a, 4096));
    launchKernel(misaligned_store, dim3(1), dim3(32), a);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "shared-past-end") {
    float* out = device_floats(64);
    launchKernel(shared_past_end, dim3(1), dim3(64), out);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "race" || scenario == "no-race") {
    float* out = device_floats(128);
    launchKernel(neighbours, dim3(2), dim3(64), out, scenario == "no-race" ? 1 : 0);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
    launchKernel(neighbours, dim3(2), dim3(64), out, scenario == "no-race" ? 1 : 0);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "byte-race" || scenario == "bytes-apart") {
    int* out = nullptr;
    report("cudaMalloc", cudaMalloc((void**)&out, 64 * sizeof(int)));
    launchKernel(byte_flags, dim3(1), dim3(64), out, scenario == "byte-race" ? 1 : 0);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "fiber-fault") {
    float* a = device_floats(1024);
    launchKernel(exchange_then_store, dim3(4), dim3(256), a, 1024);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "stack-overflow") {
    int* out = nullptr;
    report("cudaMalloc", cudaMalloc((void**)&out, sizeof(int)));
    launchKernel(overflow, dim3(1), dim3(32), out, 1 << 30);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "queued-after-fault") {
    // The CPU device's memory is the process's: the probe reads the marker
    // directly, since a copy would only return the lost context's error.
    float* a = device_floats(1024);
    int* marker = nullptr;
    report("cudaMalloc", cudaMalloc((void**)&marker, sizeof(int)));
    launchKernel(store_each, dim3(5), dim3(256), a, 1280);
    launchKernel(mark, dim3(1), dim3(1), marker);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
    printf("marker %d\n", *marker);
  } else if (scenario == "host-fault") {
    // Host code, not a kernel, reads freed device memory.
    float* a = device_floats(1024);
    report("cudaFree", cudaFree(a));
    fflush(stdout);
    printf("read %f\n", *(volatile float*)a);
  } else if (scenario == "tiles") {
    // footprint: argv[2] = past, argv[3] = clash, argv[4] = extra elements
    // each CTA declares beyond its 16.
    const int past = argc > 2 ? atoi(argv[2]) : 0, clash = argc > 3 ? atoi(argv[3]) : 0;
    const int extra = argc > 4 ? atoi(argv[4]) : 0;
    int *a = nullptr, *out = nullptr;
    report("cudaMalloc", cudaMalloc((void**)&a, 65 * sizeof(int)));
    report("cudaMalloc", cudaMalloc((void**)&out, 64 * sizeof(int)));
    cudaFlushCTATracker();
    report("cudaSetCTATracker", cudaSetCTATracker(a, 4, 16, 0, 0, 0, 16, 0, 0, 16 + extra));
    launchKernel(read_tiles, dim3(4), dim3(16), a, out, past, clash);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else {
    fprintf(stderr, "access_probe: unknown scenario '%s'\n", scenario.c_str());
    return 2;
  }
  return 0;
}
