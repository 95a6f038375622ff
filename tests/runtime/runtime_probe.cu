// runtime_probe <scenario>: exercises the runtime one scenario at a time and
// prints each call's status, so tests can read the trace and inject faults.
#include <cstdio>
#include <cstring>
#include <string>

#include "cutil_timer.h"
#include "gpu_runtime.h"

__global__ void touch_kernel(int* p) { (void)p; }

// Reverses the block's thread indices through shared memory: every thread
// meets the barrier.
__global__ void reverse_kernel(int* p) {
  __shared__ int s[1024];
  s[threadIdx.x] = threadIdx.x;
  __syncthreads();
  p[threadIdx.x] = s[blockDim.x - 1 - threadIdx.x];
}

// As reverse_kernel, but each thread also reads its neighbour's entry before
// the barrier that would order that read after the neighbour's write: a race
// between threads of one block.
__global__ void racy_kernel(int* p) {
  __shared__ int s[1024];
  s[threadIdx.x] = threadIdx.x;
  const int early = s[(threadIdx.x + 1) % blockDim.x];
  __syncthreads();
  p[threadIdx.x] = early + s[blockDim.x - 1 - threadIdx.x];
}

GPU_DEVICE_CODE(GPU_KERNEL(touch_kernel, "_Z12touch_kernelPi"), GPU_KERNEL(reverse_kernel, "_Z14reverse_kernelPi"),
                GPU_KERNEL(racy_kernel, "_Z11racy_kernelPi"))

static void report(const char* call, int status) { printf("%s %d\n", call, status); }

// Registers `rules` rows of {start..., end...} on a 1024-int buffer and
// launches over a 4x2 grid.
static void tracker_scenario(const char* name) {
  int* buf = nullptr;
  cudaMalloc((void**)&buf, 1024 * sizeof(int));
  cudaFlushCTATracker();
  if (!strcmp(name, "disjoint")) {
    // Each CTA names its own 32 ints: 8 CTAs x 128 bytes, no overlap.
    report("set", cudaSetCTATracker(buf, 4, 32, 128, 0, 0, 32, 128, 0, 32));
  } else if (!strcmp(name, "overlap")) {
    // Each CTA names 48 ints starting 32 apart: 16 ints shared by neighbours in x.
    report("set", cudaSetCTATracker(buf, 4, 32, 128, 0, 0, 32, 128, 0, 48));
    // A second rule naming the same bytes again for the same CTA adds bytes but no overlap.
    report("set", cudaSetCTATracker(buf, 4, 32, 128, 0, 0, 32, 128, 0, 8));
  } else if (!strcmp(name, "out-of-bounds")) {
    // CTAs at y = 1 reach past the 1024 ints; a range below the base too.
    report("set", cudaSetCTATracker(buf, 4, 0, 1000, 0, 0, 0, 1000, 0, 64));
    report("set", cudaSetCTATracker(buf, 4, 0, 0, 0, -4, 0, 0, 0, 4));
  } else if (!strcmp(name, "inverted")) {
    // CTA x = 0 gets an empty range, the others inverted ranges.
    report("set", cudaSetCTATracker(buf, 4, 0, 0, 0, 10, -1, 0, 0, 10));
    report("set", cudaSetCTATracker(buf, 0, 0, 0, 0, 0, 0, 0, 0, 4));
  } else if (!strcmp(name, "null-base")) {
    report("set", cudaSetCTATracker(nullptr, 4, 0, 0, 0, 0, 0, 0, 0, 4));
  }
  launchKernel(touch_kernel, dim3(4, 2), dim3(32), buf);
  report("cudaGetLastError", cudaGetLastError());
}

// One call of each failable function, in a fixed order.
static void calls_scenario() {
  int count = -1;
  report("cudaGetDeviceCount", cudaGetDeviceCount(&count));
  printf("count %d\n", count);
  cudaDeviceProp prop;
  int status = cudaGetDeviceProperties(&prop, 0);
  report("cudaGetDeviceProperties", status);
  if (status == 0) printf("cc %d.%d\nmultiprocessors %d\n", prop.major, prop.minor, prop.multiProcessorCount);
  report("cudaSetDevice", cudaSetDevice(0));
  int* d = nullptr;
  report("cudaMalloc", cudaMalloc((void**)&d, 64));
  int host[16] = {0};
  report("cudaMemcpy", cudaMemcpy(d, host, sizeof host, cudaMemcpyHostToDevice));
  report("configure", launchKernel(touch_kernel, dim3(1), dim3(1), d));
  report("cudaGetLastError", cudaGetLastError());
  report("cudaThreadSynchronize", cudaThreadSynchronize());
  report("cudaSetCTATracker", cudaSetCTATracker(d, 4, 0, 0, 0, 0, 0, 0, 0, 1));
  report("cudaFlushCTATracker", cudaFlushCTATracker());
  report("cudaFree", cudaFree(d));
  unsigned timer = 0;
  report("cutCreateTimer", cutCreateTimer(&timer));
  report("cutStartTimer", cutStartTimer(timer));
  report("cutStopTimer", cutStopTimer(timer));
  report("cutResetTimer", cutResetTimer(timer));
  report("cutDeleteTimer", cutDeleteTimer(timer));
}

// Copies of no bytes, each way: calls like any other.
static void empty_copies_scenario() {
  int* d = nullptr;
  cudaMalloc((void**)&d, 64);
  int host = 0;
  report("to device", cudaMemcpy(d, &host, 0, cudaMemcpyHostToDevice));
  report("to host", cudaMemcpy(&host, d, 0, cudaMemcpyDeviceToHost));
  report("on device", cudaMemcpy(d, d, 0, cudaMemcpyDeviceToDevice));
}

// A block of `threads` threads through a barrier; prints the status the
// launch ends with and whether every thread wrote its reversed index.
static void barrier_scenario(unsigned threads) {
  int* d = nullptr;
  cudaMalloc((void**)&d, 1024 * sizeof(int));
  launchKernel(reverse_kernel, dim3(1), dim3(threads), d);
  const int status = cudaThreadSynchronize();
  int host[1024];
  cudaMemcpy(host, d, sizeof host, cudaMemcpyDeviceToHost);
  int right = 0;
  for (unsigned t = 0; t < threads; t++) right += host[t] == (int)(threads - 1 - t);
  printf("%u threads %d%s\n", threads, status, status == 0 && right == (int)threads ? " right" : "");
  cudaFree(d);
}

// Addresses as the trace shows them, and a copy digest.
static void addresses_scenario() {
  char* a = nullptr;
  char* b = nullptr;
  cudaMalloc((void**)&a, 100);
  cudaMalloc((void**)&b, 100);
  const char text[] = "abc";
  cudaMemcpy(b + 10, text, 3, cudaMemcpyHostToDevice);
  cudaSetCTATracker(b + 40, 1, 0, 0, 0, 0, 0, 0, 0, 1);
  int on_stack = 0;
  cudaFree(&on_stack);
  cudaFree(a);
  cudaFree(a);
}

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  if (scenario == "calls") calls_scenario();
  else if (scenario == "addresses") addresses_scenario();
  else if (scenario == "empty-copies") empty_copies_scenario();
  else if (scenario == "racy-block") {
    int* d = nullptr;
    cudaMalloc((void**)&d, 64 * sizeof(int));
    launchKernel(racy_kernel, dim3(1), dim3(64), d);
    report("cudaThreadSynchronize", cudaThreadSynchronize());
  } else if (scenario == "barriers") {
    barrier_scenario(1024);
    barrier_scenario(4);
  }
  else tracker_scenario(scenario.c_str());
  return 0;
}
