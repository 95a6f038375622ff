// Launch engine costs: a barrier-free kernel against the plain loop doing the
// same work, the round trip of a launch (bench/runtime/activity_cost runs it
// with the profile and the timeline on), and the cost per thread per barrier
// of a barrier kernel.
#include <benchmark/benchmark.h>

#include <vector>

#include "gpu_runtime.h"

namespace {

// b[i] = a[i] + 192, one thread per element.
__global__ void add_kernel(int* a, int* b, int n) {
  int i = (int)(blockIdx.x * blockDim.x + threadIdx.x);
  if (i < n) b[i] = a[i] + 192;
}

// Does nothing: measures what a launch and its synchronisation cost.
__global__ void empty_kernel(int* out) { (void)out; }

// Every thread meets `rounds` barriers, doing almost nothing between them.
__global__ void barrier_kernel(int* out, int rounds) {
  __shared__ int slot[1024];
  const unsigned t = threadIdx.x;
  slot[t] = (int)t;
  for (int r = 0; r < rounds; ++r) {
    __syncthreads();
    slot[t] += slot[(t + 1) % blockDim.x] & 1;
  }
  out[blockIdx.x * blockDim.x + t] = slot[t];
}

}  // namespace

GPU_DEVICE_CODE(GPU_KERNEL(add_kernel, "_ZN12_GLOBAL__N_110add_kernelEPiS0_i"),
                GPU_KERNEL(empty_kernel, "_ZN12_GLOBAL__N_112empty_kernelEPi"),
                GPU_KERNEL(barrier_kernel, "_ZN12_GLOBAL__N_114barrier_kernelEPii"))

namespace {

constexpr int kElements = 1 << 20;

void BM_BarrierFreeKernel(benchmark::State& state) {
  int *a, *b;
  cudaMalloc((void**)&a, kElements * sizeof(int));
  cudaMalloc((void**)&b, kElements * sizeof(int));
  for (auto _ : state) {
    launchKernel(add_kernel, dim3(kElements / 256), dim3(256), a, b, kElements);
    cudaThreadSynchronize();
  }
  state.SetItemsProcessed(state.iterations() * kElements);
  cudaFree(a);
  cudaFree(b);
}
BENCHMARK(BM_BarrierFreeKernel)->Unit(benchmark::kMillisecond)->UseRealTime();

// A one-block launch followed by cudaThreadSynchronize: the round trip to the
// workers that every launch of a level-by-level program pays.
void BM_LaunchRoundTrip(benchmark::State& state) {
  for (auto _ : state) {
    launchKernel(empty_kernel, dim3(1), dim3(1), nullptr);
    cudaThreadSynchronize();
  }
}
BENCHMARK(BM_LaunchRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The cheapest API call, which touches no device: what the runtime's shell
// adds to every call (and what the profile and the timeline add to it).
void BM_HostCall(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(cudaGetLastError());
}
BENCHMARK(BM_HostCall)->Unit(benchmark::kNanosecond)->UseRealTime();

// A 65,536-block launch of the empty kernel and its synchronisation: every
// worker takes part, so the profile and the timeline record a span per worker.
void BM_WideLaunch(benchmark::State& state) {
  for (auto _ : state) {
    launchKernel(empty_kernel, dim3(65536), dim3(1), nullptr);
    cudaThreadSynchronize();
  }
}
BENCHMARK(BM_WideLaunch)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_PlainLoop(benchmark::State& state) {
  std::vector<int> a(kElements, 1), b(kElements);
  for (auto _ : state) {
    int* pa = a.data();
    int* pb = b.data();
    benchmark::DoNotOptimize(pa);
    for (int i = 0; i < kElements; ++i) pb[i] = pa[i] + 192;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kElements);
}
BENCHMARK(BM_PlainLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

// Items are thread-barrier crossings, so the time per item is the cost per
// thread per barrier (plus a share of the work between barriers).
void BM_BarrierPerThread(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const int blocks = 256, rounds = 32;
  int* out;
  cudaMalloc((void**)&out, blocks * threads * sizeof(int));
  for (auto _ : state) {
    launchKernel(barrier_kernel, dim3(blocks), dim3(threads), out, rounds);
    cudaThreadSynchronize();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{blocks} * threads * rounds);
  cudaFree(out);
}
BENCHMARK(BM_BarrierPerThread)->Arg(64)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
