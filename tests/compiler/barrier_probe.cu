// barrier_probe <scenario>: one launch of a kernel whose threads disagree on
// barriers, or of a kernel the kernel compiler leaves to fibers, then a
// healthy launch on the same device. Prints
//
//   launch <set-up status> <synchronisation status>
//   again <status of a second synchronisation>
//   healthy <synchronisation status> <ok|wrong>
//
// and, for the kernel left to fibers, "out <ok|wrong>" after its launch.
// The runtime reports a disagreement on standard error. Each barrier that
// threads disagree on carries a comment "divergent: <scenario>", which the
// tests read to know its line.
#include <cstdio>
#include <cstring>
#include <vector>

#include "gpu_runtime.h"

// Only the first five threads of a block reach the barrier.
__global__ void partial_barrier(int* out) {
  if (threadIdx.x < 5) __syncthreads();  // divergent: partial
  out[blockIdx.x * blockDim.x + threadIdx.x] = 1;
}

// Odd threads wait at one barrier, even threads at another.
__global__ void two_barriers(int* out) {
  __shared__ int s[64];
  const unsigned t = threadIdx.x;
  s[t] = int(t);
  if (t % 2) {
    __syncthreads();  // divergent: two_barriers
    out[t] = s[t ^ 1];
  } else {
    __syncthreads();  // divergent: two_barriers
    out[t] = -s[t ^ 1];
  }
}

// Thread 3 returns while the others wait at the barrier.
__global__ void return_while_others_wait(int* out) {
  __shared__ int s[64];
  const unsigned t = threadIdx.x;
  if (t == 3) return;
  s[t] = int(t);
  __syncthreads();  // divergent: return_while_others_wait
  out[t] = s[(t + 1) % blockDim.x];
}

// Each thread goes round a loop holding a barrier its own number of times.
__global__ void thread_trip_counts(int* out) {
  int sum = 0;
  for (unsigned k = 0; k < threadIdx.x % 3; ++k) {
    __syncthreads();  // divergent: trip_counts
    sum += int(k);
  }
  out[threadIdx.x] = sum;
}

// Only the first four threads reach a counting barrier.
__global__ void partial_count(int* out) {
  int count = -1;
  if (threadIdx.x < 4) count = __syncthreads_count(1);  // divergent: counting
  out[threadIdx.x] = count;
}

// Every block but (1, 2) agrees on its barrier.
__global__ void one_block_of_many(int* out) {
  const bool odd_one = blockIdx.x == 1 && blockIdx.y == 2;
  if (!odd_one || threadIdx.x > 0) __syncthreads();  // divergent: one_block
  out[(blockIdx.y * gridDim.x + blockIdx.x) * blockDim.x + threadIdx.x] = 1;
}

// The healthy launch: out = the right neighbour's index + 1.
__global__ void rotate(int* out) {
  __shared__ int s[64];
  const unsigned t = threadIdx.x;
  s[t] = int(t) + 1;
  __syncthreads();
  out[blockIdx.x * blockDim.x + t] = s[(t + 1) % blockDim.x];
}

__device__ int twice(int v) { return 2 * v; }
__device__ int square(int v) { return v * v; }
__device__ int (*operations[2])(int) = {twice, square};

// Calls through a function pointer the launch chooses: the compiler cannot
// see the callee and leaves the kernel to fibers. out = op((t + 1) % n).
__global__ void call_through_pointer(int which, int* out) {
  __shared__ int s[64];
  const unsigned t = threadIdx.x;
  s[t] = operations[which](int(t));
  __syncthreads();
  out[blockIdx.x * blockDim.x + t] = s[(t + 1) % blockDim.x];
}

GPU_DEVICE_CODE(GPU_KERNEL(partial_barrier, "_Z15partial_barrierPi"), GPU_KERNEL(two_barriers, "_Z12two_barriersPi"),
                GPU_KERNEL(return_while_others_wait, "_Z24return_while_others_waitPi"),
                GPU_KERNEL(thread_trip_counts, "_Z18thread_trip_countsPi"),
                GPU_KERNEL(partial_count, "_Z13partial_countPi"),
                GPU_KERNEL(one_block_of_many, "_Z17one_block_of_manyPi"), GPU_KERNEL(rotate, "_Z6rotatePi"),
                GPU_KERNEL(call_through_pointer, "_Z20call_through_pointeriPi"))

namespace {

constexpr unsigned kThreads = 32, kBlocks = 16;

// The statuses of the launch and its synchronisation, then of another.
void report(cudaError_t setup) {
  const cudaError_t launched = cudaGetLastError();
  const cudaError_t synced = cudaThreadSynchronize();
  printf("launch %d %d\n", int(setup != cudaSuccess ? setup : launched), int(synced));
  printf("again %d\n", int(cudaThreadSynchronize()));
}

std::vector<int> download(const int* device, size_t count) {
  std::vector<int> host(count);
  cudaMemcpy(host.data(), device, count * sizeof(int), cudaMemcpyDeviceToHost);
  return host;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: barrier_probe <scenario>\n");
    return 2;
  }
  const char* scenario = argv[1];
  int* out = nullptr;
  cudaMalloc((void**)&out, kThreads * kBlocks * 8 * sizeof(int));

  if (!strcmp(scenario, "partial")) {
    report(launchKernel(partial_barrier, dim3(kBlocks), dim3(kThreads), out));
  } else if (!strcmp(scenario, "two_barriers")) {
    report(launchKernel(two_barriers, dim3(1), dim3(kThreads), out));
  } else if (!strcmp(scenario, "return_while_others_wait")) {
    report(launchKernel(return_while_others_wait, dim3(1), dim3(kThreads), out));
  } else if (!strcmp(scenario, "trip_counts")) {
    report(launchKernel(thread_trip_counts, dim3(1), dim3(kThreads), out));
  } else if (!strcmp(scenario, "counting")) {
    report(launchKernel(partial_count, dim3(1), dim3(kThreads), out));
  } else if (!strcmp(scenario, "one_block")) {
    report(launchKernel(one_block_of_many, dim3(2, 3), dim3(kThreads), out));
  } else if (!strcmp(scenario, "function_pointer")) {
    report(launchKernel(call_through_pointer, dim3(kBlocks), dim3(kThreads), 1, out));
    const std::vector<int> got = download(out, kThreads * kBlocks);
    bool ok = true;
    for (unsigned i = 0; i < got.size(); ++i) {
      const int right = int((i % kThreads + 1) % kThreads);
      ok = ok && got[i] == right * right;
    }
    printf("out %s\n", ok ? "ok" : "wrong");
  } else {
    fprintf(stderr, "barrier_probe: unknown scenario '%s'\n", scenario);
    return 2;
  }

  // The device goes on working after a launch that failed.
  const cudaError_t setup = launchKernel(rotate, dim3(kBlocks), dim3(kThreads), out);
  const cudaError_t synced = cudaThreadSynchronize();
  const std::vector<int> got = download(out, kThreads * kBlocks);
  bool ok = setup == cudaSuccess;
  for (unsigned i = 0; i < got.size(); ++i) ok = ok && got[i] == int((i % kThreads + 1) % kThreads + 1);
  printf("healthy %d %s\n", int(synced), ok ? "ok" : "wrong");
  cudaFree(out);
  return 0;
}
