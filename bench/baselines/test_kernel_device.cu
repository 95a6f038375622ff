// test_kernel_device: test's own kernel over its 1024 x 1024 grid, launched in
// this process through the runtime's public API and timed launch to
// synchronisation. The program prints nothing and has no timer, so this is
// how its kernel time is taken.
//
//   test_kernel_device [--input zeros|pattern] [--repeat R]
//
// Sets up what the program sets up before its launch (the input copied in,
// the tracker flushed and the 16 row registrations made), launches once
// untimed (which faults the result buffer in), then R timed launches
// (default 20); prints the median launch time (time_ms) and the digest of the
// result copied back.
#include <cstdio>   // defines: fprintf
#include <cstdlib>  // defines: calloc, malloc, exit
#include <string>

#include "baseline_common.h"
#include "gpu_runtime.h"  // defines: the runtime API, launchKernel
#include "test_input.h"

// The program's source holds its kernel and its main; its main is renamed
// here so that only the kernel and its registration are taken from it.
#define main test_program_main
#include "../../programs/test/test.cu"  // defines: kernel (found beside this file, as the build step needs)
#undef main

namespace {

constexpr const char* kName = "test_kernel_device";

void check(cudaError_t status, const char* what) {
  if (status != cudaSuccess) bench::fail(kName, std::string(what) + ": " + cudaGetErrorString(status));
}

}  // namespace

int main(int argc, char** argv) {
  const bench::TestRun run = bench::parse_test_run(argc, argv, kName);
  const std::vector<int>& a = run.input;
  const long repeat = run.repeat;

  const int N = bench::kTestSide;
  const size_t bytes = a.size() * sizeof(int);
  int* a_d = nullptr;  // (N, N)
  int* b_d = nullptr;  // (N, N)
  check(cudaMalloc((void**)&a_d, bytes), "cudaMalloc");
  check(cudaMalloc((void**)&b_d, bytes), "cudaMalloc");
  check(cudaMemcpy(a_d, a.data(), bytes, cudaMemcpyHostToDevice), "cudaMemcpy to the device");

  const dim3 grid(N / 16, N / 16, 1);
  const dim3 block(16, 16, 1);
  check(cudaFlushCTATracker(), "cudaFlushCTATracker");
  for (int i = 0; i < (int)block.y; i++) {
    // The program ignores the status of its registrations; so does this.
    cudaSetCTATracker(a_d, 4, block.x, block.y * N, 0, N * i, block.x, block.y * N, 0, N * i + block.x);
  }

  check(launchKernel(kernel, grid, block, a_d, b_d, N), "launch set-up");
  check(cudaThreadSynchronize(), "cudaThreadSynchronize");
  std::vector<double> times;
  for (long r = 0; r < repeat; ++r) {
    const auto start = bench::Clock::now();
    launchKernel(kernel, grid, block, a_d, b_d, N);
    cudaThreadSynchronize();
    times.push_back(bench::ms_between(start, bench::Clock::now()));
  }
  check(cudaGetLastError(), "launch");

  std::vector<int> b(a.size());
  check(cudaMemcpy(b.data(), b_d, bytes, cudaMemcpyDeviceToHost), "cudaMemcpy to the host");
  bench::report("time_ms", bench::median(times));
  bench::report("digest", bench::digest_of(b));
  cudaFree(a_d);
  cudaFree(b_d);
  return 0;
}
