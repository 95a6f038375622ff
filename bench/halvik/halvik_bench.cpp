// Times halvik on a 2048x2048 image (region rows 0..127, columns 0..127,
// lambda 0.5, 10 iterations): the program as a user runs it, the plain host
// model of the same work, the program's loop run in this process, and
// barrier-only kernels over the same grid, whose time is the fiber switching.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "programs/halvik/halvik_kernel.cu"
#include "halvik_reference.h"

void halvik_barrier_rounds(int count);

extern char** environ;

namespace {

constexpr int kRows = 2048, kCols = 2048, kY1 = 0, kY2 = 127, kX1 = 0, kX2 = 127, kIterations = 10;
constexpr float kLambda = 0.5f;
int repeats = 3;  // best of this many; the first argument overrides it

struct Timing {
  double wall = 1e30;  ///< seconds
  double cpu = 1e30;   ///< seconds of processor time, all threads (or the child's)
};

double cpu_seconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Best of `repeats` runs of `work`: wall-clock and processor time. The machine
// may be shared, so processor time is the steadier figure.
Timing best_of(const std::function<void()>& work, int who = RUSAGE_SELF) {
  Timing best;
  for (int i = 0; i < repeats; ++i) {
    const double cpu0 = cpu_seconds(who);
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best.wall = std::min(best.wall, took.count());
    best.cpu = std::min(best.cpu, cpu_seconds(who) - cpu0);
  }
  return best;
}

void run_program() {
  std::vector<std::string> args{HALVIK_PROGRAM};
  for (int v : {kRows, kCols, kY1, kY2, kX1, kX2}) args.push_back(std::to_string(v));
  args.push_back("0.5");
  args.push_back(std::to_string(kIterations));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int status = 0;
  const bool ran = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
                   waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (!ran) {
    std::fprintf(stderr, "halvik_bench: %s did not run to success\n", argv[0]);
    std::exit(1);
  }
}

struct Device {
  float* J_cuda = nullptr;
  float* C_cuda = nullptr;
  float* E_C = nullptr;
  float* W_C = nullptr;
  float* S_C = nullptr;
  float* N_C = nullptr;
  size_t bytes = static_cast<size_t>(kRows) * kCols * sizeof(float);
  Device() {
    for (float** p : {&J_cuda, &C_cuda, &E_C, &W_C, &S_C, &N_C}) {
      if (cudaMalloc(reinterpret_cast<void**>(p), bytes) != cudaSuccess) {
        std::fprintf(stderr, "halvik_bench: cannot allocate device memory\n");
        std::exit(1);
      }
    }
  }
  ~Device() {
    for (float* p : {J_cuda, C_cuda, E_C, W_C, S_C, N_C}) cudaFree(p);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
};

const dim3 kGrid(kCols / 16, kRows / 16, 1), kBlock(16, 16, 1);

// The program's main loop in this process, from the starting image.
std::vector<float> device_loop(const Device& d, std::vector<float> image) {
  for (int i = 0; i < kIterations; ++i) {
    const float q0sqr = halvik_reference::speckle_q0sqr(image, kCols, kY1, kY2, kX1, kX2);
    cudaMemcpy(d.J_cuda, image.data(), d.bytes, cudaMemcpyHostToDevice);
    launchKernel(halvik_cuda_1, kGrid, kBlock, d.E_C, d.W_C, d.N_C, d.S_C, d.J_cuda, d.C_cuda,
                 kCols, kRows, q0sqr);
    launchKernel(halvik_cuda_2, kGrid, kBlock, d.E_C, d.W_C, d.N_C, d.S_C, d.J_cuda, d.C_cuda,
                 kCols, kRows, kLambda, q0sqr);
    cudaMemcpy(image.data(), d.J_cuda, d.bytes, cudaMemcpyDeviceToHost);
  }
  return image;
}

// The barriers of the same run alone: four a thread in the first kernel, five in the second.
void barrier_loop() {
  for (int i = 0; i < kIterations; ++i) {
    launchKernel(halvik_barrier_rounds, kGrid, kBlock, 4);
    launchKernel(halvik_barrier_rounds, kGrid, kBlock, 5);
  }
  cudaThreadSynchronize();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) repeats = std::max(1, std::atoi(argv[1]));
  std::printf(
      "halvik %dx%d, region rows %d..%d x columns %d..%d, lambda %.2f, %d iterations; best of %d\n",
      kRows, kCols, kY1, kY2, kX1, kX2, kLambda, kIterations, repeats);

  const Timing program = best_of(run_program, RUSAGE_CHILDREN);

  const std::vector<float> start = halvik_reference::starting_image(kRows, kCols);
  std::vector<float> want;
  const Timing reference = best_of([&] {
    want = halvik_reference::run(kRows, kCols, kY1, kY2, kX1, kX2, kLambda, kIterations);
  });

  Device d;
  std::vector<float> got;
  const Timing loop = best_of([&] { got = device_loop(d, start); });
  const Timing barriers = best_of(barrier_loop);

  const bool same = halvik_reference::digest(got) == halvik_reference::digest(want);
  std::printf("%-42s %9s %9s\n", "", "wall s", "cpu s");
  auto row = [](const char* what, const Timing& t) {
    std::printf("%-42s %9.3f %9.3f\n", what, t.wall, t.cpu);
  };
  row("program, whole run", program);
  row("host reference, one thread", reference);
  row("main loop in process (copies, kernels)", loop);
  row("barrier-only kernels, same grid", barriers);
  std::printf("in-process image %s the host reference's\n", same ? "matches" : "DIFFERS FROM");
  std::printf("fiber switching share (cpu): %.1f%% of the main loop, %.1f%% of the program\n",
              100.0 * barriers.cpu / loop.cpu, 100.0 * barriers.cpu / program.cpu);
  return same ? 0 : 1;
}
