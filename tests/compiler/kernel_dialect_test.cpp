// What kernels may use, each through a kernel launched by the runtime and
// checked against the host: every integer and floating type, structs and
// arrays in static and dynamic shared memory, device functions and
// templates, local arrays, references, pointers into shared memory, atomics
// on global and shared memory, __threadfence, the counting barriers, and
// barriers wherever CUDA allows them. ctest runs this binary with block
// functions and with fibers, on one worker and on two.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "device_support.h"

// ---------------------------------------------------------------------------
// Kernels

// Each thread keeps its element across a barrier while the block passes
// values through a shared array of T.
template <typename T>
__global__ void round_trip(const T* in, T* out) {
  __shared__ T stage[256];
  const unsigned t = threadIdx.x, n = blockDim.x, i = blockIdx.x * n + t;
  const T mine = in[i];
  stage[t] = static_cast<T>(mine * T(3) + T(1));
  __syncthreads();
  const T other = stage[(t + 1) % n];
  out[i] = static_cast<T>(other - mine / T(2));
}

struct Particle {
  float position[3];
  int id;
  double mass;
};

// A shared array of structs, a shared 2-D array and a shared scalar; a
// struct local kept across barriers. 64 threads a block.
__global__ void shared_structs(const Particle* in, Particle* out, float* plane_out) {
  __shared__ Particle particles[64];
  __shared__ float plane[8][9];
  __shared__ int odd_ids;
  const unsigned t = threadIdx.x, i = blockIdx.x * blockDim.x + t;
  particles[t] = in[i];
  plane[t / 8][t % 8] = float(t) * 0.5f;
  if (t == 0) odd_ids = 0;
  __syncthreads();
  Particle p = particles[blockDim.x - 1 - t];
  p.mass += particles[t].position[t % 3];
  atomicAdd(&odd_ids, p.id % 2);
  __syncthreads();
  p.id += odd_ids;
  out[i] = p;
  plane_out[i] = plane[t % 8][t / 8];
}

// The launch's dynamic shared memory holds `ints` ints and then as many
// doubles (ints even); a static array sits beside it.
__global__ void dynamic_shared(const int* in, int* out, int ints) {
  extern __shared__ int dynamic_ints[];
  __shared__ int fixed[32];
  double* doubles = reinterpret_cast<double*>(dynamic_ints + ints);
  const unsigned t = threadIdx.x, i = blockIdx.x * blockDim.x + t;
  for (int k = t; k < ints; k += blockDim.x) {
    dynamic_ints[k] = in[blockIdx.x] + k;
    doubles[k] = k * 0.5;
  }
  if (t < 32) fixed[t] = -int(t);
  __syncthreads();
  out[i] = dynamic_ints[(t * 7) % ints] + int(doubles[ints - 1 - t % ints] * 2) + fixed[t % 32];
}

// 16 KiB of static shared memory beside the dynamic part.
__global__ void static_and_dynamic(int* out) {
  __shared__ int fixed[4096];
  extern __shared__ int dynamic_part[];
  const unsigned t = threadIdx.x;
  fixed[t] = int(t);
  dynamic_part[t] = 2 * int(t);
  __syncthreads();
  out[t] = fixed[blockDim.x - 1 - t] + dynamic_part[t];
}

template <typename T>
__device__ T larger(T a, T b) {
  return a > b ? a : b;
}

// A barrier inside a device function: each thread trades its value with its
// partner (t ^ 1) through shared memory.
__device__ float trade(float* scratch, float mine) {
  scratch[threadIdx.x] = mine;
  __syncthreads();
  const float theirs = scratch[threadIdx.x ^ 1];
  __syncthreads();
  return theirs;
}

__device__ int digit_sum(int v) { return v < 10 ? v : v % 10 + digit_sum(v / 10); }

// A template kernel calling a template, a device function holding barriers
// (in a loop) and a recursive one. Even block sizes.
template <int Rounds>
__global__ void device_functions(const float* in, float* out) {
  __shared__ float scratch[256];
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  float v = in[i];
  for (int r = 0; r < Rounds; ++r) v = larger(v, trade(scratch, v)) + float(digit_sum(r * 37 + int(threadIdx.x)));
  out[i] = v;
}

// A local array indexed at run time kept across barriers; a reference to
// the thread's element of shared memory; a pointer to its row of a shared
// 2-D array; two shared buffers passed back and forth through pointers that
// swap every round. At most 256 threads a block.
__global__ void locals_and_pointers(const int* in, int* out, int rounds) {
  __shared__ int ping[256], pong[256];
  __shared__ int rows[4][64];
  const unsigned t = threadIdx.x, n = blockDim.x, i = blockIdx.x * n + t;
  int window[4];
  for (int k = 0; k < 4; ++k) window[k] = in[i] * (k + 1);
  int* src = ping;
  int* dst = pong;
  int& mine = ping[t];
  int* row = rows[t % 4];
  mine = in[i];
  __syncthreads();
  for (int r = 0; r < rounds; ++r) {
    dst[t] = src[(t + 1) % n] + window[r % 4];
    row[t / 4] = dst[t] % 7;
    __syncthreads();
    int* swap = src;
    src = dst;
    dst = swap;
    window[r % 4] += row[t / 4];
  }
  out[i] = src[t] + window[0] + window[3] + 10 * mine;
}

enum class AtomicOp { Add, Sub, Exch, Min, Max, Cas };

template <AtomicOp Op, typename T>
__device__ T atomic_apply(T* address, T value) {
  if constexpr (Op == AtomicOp::Add)
    return atomicAdd(address, value);
  else if constexpr (Op == AtomicOp::Sub)
    return atomicSub(address, value);
  else if constexpr (Op == AtomicOp::Exch)
    return atomicExch(address, value);
  else if constexpr (Op == AtomicOp::Min)
    return atomicMin(address, value);
  else if constexpr (Op == AtomicOp::Max)
    return atomicMax(address, value);
  else {
    // An addition built from compare-and-swap.
    T old = *address, assumed;
    do {
      assumed = old;
      old = atomicCAS(address, assumed, static_cast<T>(assumed + value));
    } while (old != assumed);
    return old;
  }
}

// The operand thread i brings: 1 for the sums, so that the old values are a
// permutation; distinct values for exchange; scattered ones for min and max.
template <AtomicOp Op, typename T>
__device__ __host__ T atomic_operand(unsigned i) {
  if constexpr (Op == AtomicOp::Exch)
    return static_cast<T>(i + 1);
  else if constexpr (Op == AtomicOp::Min || Op == AtomicOp::Max)
    return static_cast<T>((i * 2654435761u) % 1000003u);
  else
    return static_cast<T>(1);
}

// Every thread applies Op with its operand to one global and one shared
// variable and records what the global one held before; thread 0 copies
// the block's shared result out.
template <AtomicOp Op, typename T>
__global__ void atomics_everywhere(T* global, T* olds, T* block_results, T start) {
  __shared__ T shared;
  const unsigned t = threadIdx.x, i = blockIdx.x * blockDim.x + t;
  if (t == 0) shared = start;
  __syncthreads();
  const T value = atomic_operand<Op, T>(i);
  olds[i] = atomic_apply<Op>(global, value);
  atomic_apply<Op>(&shared, value);
  __syncthreads();
  if (t == 0) block_results[blockIdx.x] = shared;
}

// Each block reduces its slice; the block that finishes last, which it
// learns from a counter it raises after a fence, adds the block sums in
// order and resets the counter.
__global__ void sum_in_last_block(const float* in, float* partials, float* total, unsigned* finished) {
  __shared__ float partial[256];
  __shared__ bool last;
  const unsigned t = threadIdx.x;
  partial[t] = in[blockIdx.x * blockDim.x + t];
  __syncthreads();
  for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
    if (t < s) partial[t] += partial[t + s];
    __syncthreads();
  }
  if (t == 0) {
    partials[blockIdx.x] = partial[0];
    __threadfence();
    last = atomicAdd(finished, 1u) == gridDim.x - 1;
  }
  __syncthreads();
  if (last && t == 0) {
    __threadfence();
    float sum = 0.0f;
    for (unsigned b = 0; b < gridDim.x; ++b) sum += partials[b];
    *total = sum;
    *finished = 0;
  }
}

// The counting barriers over a block of any shape: out holds, per thread,
// how many threads passed a non-zero flag, whether all did and whether any did.
__global__ void vote(const int* flags, int* out) {
  const unsigned t = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
  const unsigned i = blockIdx.x * blockDim.x * blockDim.y * blockDim.z + t;
  const int mine = flags[i];
  const int count = __syncthreads_count(mine);
  const int all = __syncthreads_and(mine);
  const int any = __syncthreads_or(mine);
  out[3 * i] = count;
  out[3 * i + 1] = all != 0;
  out[3 * i + 2] = any != 0;
}

// As vote, on whether the thread's index lies below `limit`: predicates the
// compiler can compute again from the index, results kept across barriers.
__global__ void vote_below(unsigned limit, int* out) {
  const unsigned t = threadIdx.x;
  const int count = __syncthreads_count(t < limit);
  const int all = __syncthreads_and(t < limit);
  const int any = __syncthreads_or(t < limit);
  __syncthreads();
  out[3 * t] = count;
  out[3 * t + 1] = all != 0;
  out[3 * t + 2] = any != 0;
}

// Each thread works off its own number of steps; the block goes round until
// no thread has any left. rounds: how many rounds each thread saw.
__global__ void work_until_all_done(const int* steps, int* rounds) {
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  int left = steps[i], round = 0;
  while (__syncthreads_or(left > 0)) {
    if (left > 0) --left;
    ++round;
  }
  rounds[i] = round;
}

// Barriers where CUDA allows them: after a return the whole block takes, in
// both arms of an if on a parameter, in a switch on the block's index, in
// nested loops. At most 256 threads a block.
__global__ void uniform_branches(int* out, int mode, int active_blocks) {
  __shared__ int s[256];
  if ((int)blockIdx.x >= active_blocks) return;
  const unsigned t = threadIdx.x, n = blockDim.x;
  int v = int(t);
  if (mode > 0) {
    s[t] = v * 2;
    __syncthreads();
    v = s[n - 1 - t];
  } else {
    s[t] = v + 1;
    __syncthreads();
    v = s[(t + 1) % n];
  }
  switch (blockIdx.x % 3) {
    case 0:
      __syncthreads();
      s[t] = v;
      __syncthreads();
      v += s[0];
      break;
    case 1:
      v *= 3;
      break;
    default:
      for (int r = 0; r < 2; ++r) {
        __syncthreads();
        s[t] = v + r;
        __syncthreads();
        v = s[(t + r) % n];
      }
  }
  for (int outer = 0; outer < 2; ++outer)
    for (int inner = 0; inner <= outer; ++inner) {
      __syncthreads();
      s[t] = v;
      __syncthreads();
      v = s[(t + inner + 1) % n] + outer;
    }
  out[blockIdx.x * n + t] = v;
}

// Thread 0 decides round by round, in shared memory, whether the block goes
// on: a loop condition every thread reads from shared memory.
__global__ void shared_flag_loop(const int* limits, int* out) {
  __shared__ int go, total;
  const unsigned t = threadIdx.x;
  if (t == 0) {
    go = 1;
    total = 0;
  }
  __syncthreads();
  int rounds = 0;
  while (go) {
    atomicAdd(&total, int(t) + 1);
    ++rounds;
    __syncthreads();
    if (t == 0) go = total < limits[blockIdx.x];
    __syncthreads();
  }
  out[blockIdx.x * blockDim.x + t] = rounds * 100000 + total;
}

#define ROUND_TRIP(T, code) GPU_KERNEL(round_trip<T>, "_Z10round_tripI" code "EvPKT_PS0_")
#define ATOMICS(op, T, code)                        \
  GPU_KERNEL((atomics_everywhere<AtomicOp::op, T>), \
             "_Z18atomics_everywhereIL8AtomicOp" op##_code code "EvPT0_S2_S2_S1_")
#define Add_code "0E"
#define Sub_code "1E"
#define Exch_code "2E"
#define Min_code "3E"
#define Max_code "4E"
#define Cas_code "5E"

GPU_DEVICE_CODE(ROUND_TRIP(bool, "b"), ROUND_TRIP(char, "c"), ROUND_TRIP(signed char, "a"),
                ROUND_TRIP(unsigned char, "h"), ROUND_TRIP(short, "s"), ROUND_TRIP(unsigned short, "t"),
                ROUND_TRIP(int, "i"), ROUND_TRIP(unsigned, "j"), ROUND_TRIP(long, "l"), ROUND_TRIP(unsigned long, "m"),
                ROUND_TRIP(long long, "x"), ROUND_TRIP(unsigned long long, "y"), ROUND_TRIP(__int128, "n"),
                ROUND_TRIP(unsigned __int128, "o"), ROUND_TRIP(wchar_t, "w"), ROUND_TRIP(char8_t, "Du"),
                ROUND_TRIP(char16_t, "Ds"), ROUND_TRIP(char32_t, "Di"), ROUND_TRIP(float, "f"), ROUND_TRIP(double, "d"),
                ROUND_TRIP(long double, "e"), GPU_KERNEL(shared_structs, "_Z14shared_structsPK8ParticlePS_Pf"),
                GPU_KERNEL(dynamic_shared, "_Z14dynamic_sharedPKiPii"),
                GPU_KERNEL(static_and_dynamic, "_Z18static_and_dynamicPi"),
                GPU_KERNEL(device_functions<1>, "_Z16device_functionsILi1EEvPKfPf"),
                GPU_KERNEL(device_functions<3>, "_Z16device_functionsILi3EEvPKfPf"),
                GPU_KERNEL(locals_and_pointers, "_Z19locals_and_pointersPKiPii"), ATOMICS(Add, int, "i"),
                ATOMICS(Add, unsigned, "j"), ATOMICS(Add, unsigned long long, "y"), ATOMICS(Add, float, "f"),
                ATOMICS(Add, double, "d"), ATOMICS(Sub, int, "i"), ATOMICS(Sub, unsigned, "j"), ATOMICS(Exch, int, "i"),
                ATOMICS(Exch, unsigned, "j"), ATOMICS(Exch, unsigned long long, "y"), ATOMICS(Exch, float, "f"),
                ATOMICS(Min, int, "i"), ATOMICS(Min, unsigned, "j"), ATOMICS(Min, unsigned long long, "y"),
                ATOMICS(Max, int, "i"), ATOMICS(Max, unsigned, "j"), ATOMICS(Max, unsigned long long, "y"),
                ATOMICS(Cas, int, "i"), ATOMICS(Cas, unsigned, "j"), ATOMICS(Cas, unsigned long long, "y"),
                GPU_KERNEL(sum_in_last_block, "_Z17sum_in_last_blockPKfPfS1_Pj"), GPU_KERNEL(vote, "_Z4votePKiPi"),
                GPU_KERNEL(vote_below, "_Z10vote_belowjPi"),
                GPU_KERNEL(work_until_all_done, "_Z19work_until_all_donePKiPi"),
                GPU_KERNEL(uniform_branches, "_Z16uniform_branchesPiii"),
                GPU_KERNEL(shared_flag_loop, "_Z16shared_flag_loopPKiPi"))

// ---------------------------------------------------------------------------
// Tests

namespace {

using test_helpers::DeviceBuffer;
using test_helpers::expect_elements;
using test_helpers::launch_and_wait;

// ---- every integer and floating type

template <typename T>
class EveryType : public ::testing::Test {};

using Arithmetic = ::testing::Types<bool, char, signed char, unsigned char, short, unsigned short, int, unsigned, long,
                                    unsigned long, long long, unsigned long long, __int128, unsigned __int128, wchar_t,
                                    char8_t, char16_t, char32_t, float, double, long double>;
TYPED_TEST_SUITE(EveryType, Arithmetic);

TYPED_TEST(EveryType, PassesThroughSharedMemoryAndKeepsItsLocalAcrossABarrier) {
  using T = TypeParam;
  const unsigned threads = 96, blocks = 5, n = threads * blocks;
  std::unique_ptr<T[]> in(new T[n]), out(new T[n]);
  for (unsigned i = 0; i < n; ++i) in[i] = static_cast<T>(std::is_signed_v<T> ? int(i % 41) - 20 : int(i % 41));
  DeviceBuffer<T> d_in(n), d_out(n);
  d_in.upload(in.get());
  ASSERT_EQ(launch_and_wait(round_trip<T>, dim3(blocks), dim3(threads), d_in.get(), d_out.get()), cudaSuccess);
  d_out.download(out.get());
  int reported = 0;
  for (unsigned i = 0; i < n && reported < 5; ++i) {
    const unsigned b = i / threads, t = i % threads;
    const T mine = in[i];
    const T other = static_cast<T>(in[b * threads + (t + 1) % threads] * T(3) + T(1));
    const T expected = static_cast<T>(other - mine / T(2));
    if (!(out[i] == expected)) {
      ADD_FAILURE() << "element " << i << " is " << static_cast<long double>(out[i]) << ", expected "
                    << static_cast<long double>(expected);
      ++reported;
    }
  }
}

// ---- shared memory: structs, arrays, dynamic

TEST(SharedMemory, HoldsArraysOfStructsTwoDimensionalArraysAndScalars) {
  const unsigned threads = 64, blocks = 3, n = threads * blocks;
  std::vector<Particle> in(n);
  for (unsigned i = 0; i < n; ++i) in[i] = Particle{{i * 0.25f, -float(i), 1.5f}, int(i * 7), i * 0.125};
  DeviceBuffer<Particle> d_in(in), d_out(n);
  DeviceBuffer<float> d_plane(n);
  ASSERT_EQ(launch_and_wait(shared_structs, dim3(blocks), dim3(threads), d_in.get(), d_out.get(), d_plane.get()),
            cudaSuccess);
  const std::vector<Particle> out = d_out.download();
  const std::vector<float> plane = d_plane.download();
  for (unsigned b = 0; b < blocks; ++b) {
    int odd = 0;
    for (unsigned t = 0; t < threads; ++t) odd += in[b * threads + t].id % 2;
    for (unsigned t = 0; t < threads; ++t) {
      const unsigned i = b * threads + t;
      const Particle& from = in[b * threads + threads - 1 - t];
      EXPECT_EQ(out[i].id, from.id + odd) << i;
      EXPECT_EQ(out[i].mass, from.mass + in[i].position[t % 3]) << i;
      EXPECT_EQ(out[i].position[1], from.position[1]) << i;
      EXPECT_EQ(plane[i], float((t % 8) * 8 + t / 8) * 0.5f) << i;
    }
  }
}

TEST(SharedMemory, ExternArrayGetsTheBytesTheLaunchAsksFor) {
  const unsigned threads = 48, blocks = 4;
  for (int ints : {2, 48, 100, 3000}) {
    const std::vector<int> in = {5, -9, 1000, 0};
    DeviceBuffer<int> d_in(in), d_out(size_t{threads} * blocks);
    ASSERT_EQ(
        test_helpers::launch_with_shared(dynamic_shared, dim3(blocks), dim3(threads),
                                         size_t(ints) * (sizeof(int) + sizeof(double)), d_in.get(), d_out.get(), ints),
        cudaSuccess);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess) << ints;
    ASSERT_EQ(cudaThreadSynchronize(), cudaSuccess) << ints;
    std::vector<int> expected;
    for (unsigned b = 0; b < blocks; ++b)
      for (unsigned t = 0; t < threads; ++t) {
        const int k = int(t * 7) % ints, d = ints - 1 - int(t) % ints;
        expected.push_back(in[b] + k + int(d * 0.5 * 2) - int(t % 32));
      }
    expect_elements(d_out.download(), expected, std::to_string(ints) + " ints");
  }
}

TEST(SharedMemory, DynamicBytesBeyondWhatTheStaticPartLeavesAreRefused) {
  const gpu_runtime::KernelForm& form = test_helpers::form_of<&static_and_dynamic>();
  ASSERT_EQ(form.static_shared, 4096 * sizeof(int));
  const size_t room = 48 * 1024 - form.static_shared;
  DeviceBuffer<int> out(64);
  EXPECT_EQ(test_helpers::launch_with_shared(static_and_dynamic, dim3(1), dim3(64), room, out.get()), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaThreadSynchronize(), cudaSuccess);
  std::vector<int> expected(64);
  for (int t = 0; t < 64; ++t) expected[t] = 63 - t + 2 * t;
  expect_elements(out.download(), expected, "with all the room");

  EXPECT_EQ(test_helpers::launch_with_shared(static_and_dynamic, dim3(1), dim3(64), room + 1, out.get()), cudaSuccess)
      << "configure succeeds; the launch is refused";
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  EXPECT_EQ(test_helpers::launch_with_shared(dynamic_shared, dim3(1), dim3(64), 48 * 1024 + 1, out.get(), out.get(), 2),
            cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration) << "dynamic memory alone over the limit";
  EXPECT_EQ(cudaThreadSynchronize(), cudaSuccess);
}

// ---- device functions, templates, locals, references, pointers

int host_digit_sum(int v) { return v < 10 ? v : v % 10 + host_digit_sum(v / 10); }

template <int Rounds>
void check_device_functions() {
  const unsigned threads = 64, blocks = 3, n = threads * blocks;
  std::vector<float> in(n);
  for (unsigned i = 0; i < n; ++i) in[i] = float(int(i * 37 % 101) - 50) * 0.75f;
  DeviceBuffer<float> d_in(in), d_out(n);
  ASSERT_EQ(launch_and_wait(device_functions<Rounds>, dim3(blocks), dim3(threads), d_in.get(), d_out.get()),
            cudaSuccess);
  std::vector<float> v = in;
  for (int r = 0; r < Rounds; ++r) {
    const std::vector<float> before = v;
    for (unsigned i = 0; i < n; ++i)
      v[i] = std::max(before[i], before[i ^ 1]) + float(host_digit_sum(r * 37 + int(i % threads)));
  }
  expect_elements(d_out.download(), v, "rounds " + std::to_string(Rounds));
}

TEST(DeviceCode, TemplatesBarriersInDeviceFunctionsAndRecursion) {
  check_device_functions<1>();
  check_device_functions<3>();
}

TEST(DeviceCode, LocalArraysReferencesAndPointersIntoSharedMemory) {
  for (const auto& [threads, rounds] : {std::pair{64u, 5}, std::pair{256u, 2}, std::pair{12u, 0}}) {
    const unsigned blocks = 3, n = threads * blocks;
    std::vector<int> in(n);
    for (unsigned i = 0; i < n; ++i) in[i] = int(i * 13 % 29) - 9;
    DeviceBuffer<int> d_in(in), d_out(n);
    ASSERT_EQ(launch_and_wait(locals_and_pointers, dim3(blocks), dim3(threads), d_in.get(), d_out.get(), rounds),
              cudaSuccess);
    std::vector<int> expected;
    for (unsigned b = 0; b < blocks; ++b) {
      std::vector<int> buffers[2] = {std::vector<int>(in.begin() + b * threads, in.begin() + (b + 1) * threads),
                                     std::vector<int>(threads)};
      std::vector<std::vector<int>> window(threads, std::vector<int>(4));
      for (unsigned t = 0; t < threads; ++t)
        for (int k = 0; k < 4; ++k) window[t][k] = in[b * threads + t] * (k + 1);
      int src = 0;
      for (int r = 0; r < rounds; ++r) {
        for (unsigned t = 0; t < threads; ++t) buffers[1 - src][t] = buffers[src][(t + 1) % threads] + window[t][r % 4];
        src = 1 - src;
        for (unsigned t = 0; t < threads; ++t) window[t][r % 4] += buffers[src][t] % 7;
      }
      for (unsigned t = 0; t < threads; ++t)
        expected.push_back(buffers[src][t] + window[t][0] + window[t][3] + 10 * buffers[0][t]);
    }
    expect_elements(d_out.download(), expected,
                    std::to_string(threads) + " threads, " + std::to_string(rounds) + " rounds");
  }
}

// ---- atomics

template <AtomicOp Op, typename T>
struct AtomicCase {
  static constexpr AtomicOp op = Op;
  using type = T;
};

template <typename Case>
class Atomics : public ::testing::Test {};

using AtomicCases = ::testing::Types<
    AtomicCase<AtomicOp::Add, int>, AtomicCase<AtomicOp::Add, unsigned>, AtomicCase<AtomicOp::Add, unsigned long long>,
    AtomicCase<AtomicOp::Add, float>, AtomicCase<AtomicOp::Add, double>, AtomicCase<AtomicOp::Sub, int>,
    AtomicCase<AtomicOp::Sub, unsigned>, AtomicCase<AtomicOp::Exch, int>, AtomicCase<AtomicOp::Exch, unsigned>,
    AtomicCase<AtomicOp::Exch, unsigned long long>, AtomicCase<AtomicOp::Exch, float>, AtomicCase<AtomicOp::Min, int>,
    AtomicCase<AtomicOp::Min, unsigned>, AtomicCase<AtomicOp::Min, unsigned long long>, AtomicCase<AtomicOp::Max, int>,
    AtomicCase<AtomicOp::Max, unsigned>, AtomicCase<AtomicOp::Max, unsigned long long>, AtomicCase<AtomicOp::Cas, int>,
    AtomicCase<AtomicOp::Cas, unsigned>, AtomicCase<AtomicOp::Cas, unsigned long long>>;
TYPED_TEST_SUITE(Atomics, AtomicCases);

// Whatever the order the threads came in, the old values and the final ones
// must be those of some order.
TYPED_TEST(Atomics, OnGlobalAndSharedMemoryActAsOneStepEach) {
  constexpr AtomicOp op = TypeParam::op;
  using T = typename TypeParam::type;
  const unsigned threads = 128, blocks = 40, n = threads * blocks;
  const T start = static_cast<T>(op == AtomicOp::Min ? 900000 : 1000000);
  DeviceBuffer<T> global(std::vector<T>{start}), olds(n), block_results(blocks);
  ASSERT_EQ(launch_and_wait(atomics_everywhere<op, T>, dim3(blocks), dim3(threads), global.get(), olds.get(),
                            block_results.get(), start),
            cudaSuccess);
  const T final_value = global.download()[0];
  std::vector<T> old = olds.download();
  const std::vector<T> per_block = block_results.download();
  std::sort(old.begin(), old.end());

  auto operand = [](unsigned i) { return atomic_operand<op, T>(i); };
  // What applying the block's (or every) operand to start leaves, in any order.
  auto folded = [&](unsigned first, unsigned count) {
    T v = start;
    for (unsigned i = first; i < first + count; ++i) {
      if constexpr (op == AtomicOp::Sub)
        v = static_cast<T>(v - operand(i));
      else if constexpr (op == AtomicOp::Min)
        v = std::min(v, operand(i));
      else if constexpr (op == AtomicOp::Max)
        v = std::max(v, operand(i));
      else
        v = static_cast<T>(v + operand(i));
    }
    return v;
  };
  if constexpr (op == AtomicOp::Exch) {
    // The old values and the final one are start and every operand, once each.
    std::vector<T> seen = old, all{start};
    seen.push_back(final_value);
    for (unsigned i = 0; i < n; ++i) all.push_back(operand(i));
    std::sort(seen.begin(), seen.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(seen, all);
    for (unsigned b = 0; b < blocks; ++b) {
      const T r = per_block[b];
      EXPECT_TRUE(r > static_cast<T>(b * threads) && r <= static_cast<T>((b + 1) * threads)) << "block " << b;
    }
    return;
  }
  EXPECT_EQ(final_value, folded(0, n));
  for (unsigned b = 0; b < blocks; ++b) EXPECT_EQ(per_block[b], folded(b * threads, threads)) << "block " << b;
  if constexpr (op == AtomicOp::Min || op == AtomicOp::Max) {
    // Every old value lies between start and the final one.
    for (const T& v : old)
      EXPECT_TRUE(op == AtomicOp::Min ? v >= final_value && v <= start : v <= final_value && v >= start);
  } else {
    // Steps of one: the old values are every value passed on the way.
    for (unsigned k = 0; k < n; ++k)
      ASSERT_EQ(old[k], op == AtomicOp::Sub ? static_cast<T>(start - T(n - 1) + T(k)) : static_cast<T>(start + T(k)))
          << k;
  }
}

TEST(Fences, LastBlockToFinishSeesEveryBlocksSum) {
  const unsigned threads = 256, blocks = 97, n = threads * blocks;
  std::vector<float> in(n);
  for (unsigned i = 0; i < n; ++i) in[i] = float(int(i * 7919 % 2001) - 1000) / 64.0f;
  DeviceBuffer<float> d_in(in), partials(blocks), total(1);
  DeviceBuffer<unsigned> finished(std::vector<unsigned>{0});
  float expected = 0.0f;
  for (unsigned b = 0; b < blocks; ++b) {
    std::vector<float> p(in.begin() + b * threads, in.begin() + (b + 1) * threads);
    for (unsigned s = threads / 2; s > 0; s >>= 1)
      for (unsigned t = 0; t < s; ++t) p[t] += p[t + s];
    expected += p[0];
  }
  for (int repeat = 0; repeat < 3; ++repeat) {
    ASSERT_EQ(launch_and_wait(sum_in_last_block, dim3(blocks), dim3(threads), d_in.get(), partials.get(), total.get(),
                              finished.get()),
              cudaSuccess);
    EXPECT_EQ(total.download()[0], expected) << "launch " << repeat;
    EXPECT_EQ(finished.download()[0], 0u) << "launch " << repeat;
  }
}

// ---- counting barriers

TEST(CountingBarriers, CountAllAndAnyOverBlocksOfEveryShape) {
  for (const dim3& shape : {dim3(32), dim3(8, 4, 2), dim3(1), dim3(7, 3)}) {
    const unsigned threads = shape.x * shape.y * shape.z, blocks = 4, n = threads * blocks;
    // Block 0: no flag; 1: every flag (values other than 1 count too);
    // 2: one flag; 3: every third.
    std::vector<int> flags(n, 0);
    for (unsigned t = 0; t < threads; ++t) {
      flags[threads + t] = t % 2 ? -3 : 7;
      flags[3 * threads + t] = t % 3 == 0;
    }
    flags[2 * threads + threads - 1] = 1;
    DeviceBuffer<int> d_flags(flags), d_out(size_t{3} * n);
    ASSERT_EQ(launch_and_wait(vote, dim3(blocks), shape, d_flags.get(), d_out.get()), cudaSuccess);
    std::vector<int> expected;
    for (unsigned b = 0; b < blocks; ++b) {
      int count = 0;
      for (unsigned t = 0; t < threads; ++t) count += flags[b * threads + t] != 0;
      for (unsigned t = 0; t < threads; ++t) expected.insert(expected.end(), {count, count == int(threads), count > 0});
    }
    expect_elements(d_out.download(), expected,
                    std::to_string(shape.x) + "x" + std::to_string(shape.y) + "x" + std::to_string(shape.z));
  }
}

TEST(CountingBarriers, ResultsOfPredicatesOnTheIndexOutliveLaterBarriers) {
  const unsigned threads = 40;
  for (unsigned limit : {0u, 1u, 39u, 40u}) {
    DeviceBuffer<int> d_out(size_t{3} * threads);
    ASSERT_EQ(launch_and_wait(vote_below, dim3(1), dim3(threads), limit, d_out.get()), cudaSuccess);
    std::vector<int> expected;
    for (unsigned t = 0; t < threads; ++t) expected.insert(expected.end(), {int(limit), limit == threads, limit > 0});
    expect_elements(d_out.download(), expected, "limit " + std::to_string(limit));
  }
}

TEST(CountingBarriers, LoopWhileAnyThreadHasWorkLeft) {
  const unsigned threads = 64, blocks = 5, n = threads * blocks;
  std::vector<int> steps(n);
  for (unsigned i = 0; i < n; ++i) steps[i] = int(i * 11 % 17) * int(i / threads % 3);  // block 0: none
  DeviceBuffer<int> d_steps(steps), d_rounds(n);
  ASSERT_EQ(launch_and_wait(work_until_all_done, dim3(blocks), dim3(threads), d_steps.get(), d_rounds.get()),
            cudaSuccess);
  std::vector<int> expected;
  for (unsigned b = 0; b < blocks; ++b) {
    const int most = *std::max_element(steps.begin() + b * threads, steps.begin() + (b + 1) * threads);
    expected.insert(expected.end(), threads, most);
  }
  expect_elements(d_rounds.download(), expected, "rounds");
}

// ---- barriers wherever CUDA allows them

TEST(UniformBarriers, InBranchesOnParametersAndBlockIndicesAndNestedLoops) {
  const unsigned blocks = 7, active = 5;
  for (const auto& [threads, mode] : {std::pair{32u, 1}, std::pair{256u, 0}, std::pair{1u, 1}, std::pair{9u, 0}}) {
    const unsigned n = threads * blocks;
    DeviceBuffer<int> d_out(std::vector<int>(n, -1));
    ASSERT_EQ(launch_and_wait(uniform_branches, dim3(blocks), dim3(threads), d_out.get(), mode, int(active)),
              cudaSuccess);
    std::vector<int> expected(n, -1);
    for (unsigned b = 0; b < active; ++b) {
      std::vector<int> v(threads), s(threads);
      for (unsigned t = 0; t < threads; ++t) s[t] = mode > 0 ? int(t) * 2 : int(t) + 1;
      for (unsigned t = 0; t < threads; ++t) v[t] = mode > 0 ? s[threads - 1 - t] : s[(t + 1) % threads];
      if (b % 3 == 0) {
        s = v;
        for (unsigned t = 0; t < threads; ++t) v[t] += s[0];
      } else if (b % 3 == 1) {
        for (int& x : v) x *= 3;
      } else {
        for (int r = 0; r < 2; ++r) {
          for (unsigned t = 0; t < threads; ++t) s[t] = v[t] + r;
          for (unsigned t = 0; t < threads; ++t) v[t] = s[(t + r) % threads];
        }
      }
      for (int outer = 0; outer < 2; ++outer)
        for (int inner = 0; inner <= outer; ++inner) {
          s = v;
          for (unsigned t = 0; t < threads; ++t) v[t] = s[(t + inner + 1) % threads] + outer;
        }
      std::copy(v.begin(), v.end(), expected.begin() + b * threads);
    }
    expect_elements(d_out.download(), expected, std::to_string(threads) + " threads, mode " + std::to_string(mode));
  }
}

TEST(UniformBarriers, LoopConditionReadFromSharedMemory) {
  const unsigned threads = 16, blocks = 4;
  const std::vector<int> limits = {1, 136, 137, 5000};  // 136: one round's total
  DeviceBuffer<int> d_limits(limits), d_out(size_t{threads} * blocks);
  ASSERT_EQ(launch_and_wait(shared_flag_loop, dim3(blocks), dim3(threads), d_limits.get(), d_out.get()), cudaSuccess);
  std::vector<int> expected;
  for (unsigned b = 0; b < blocks; ++b) {
    const int per_round = int(threads * (threads + 1) / 2);
    int rounds = 1;
    while (rounds * per_round < limits[b]) ++rounds;
    expected.insert(expected.end(), threads, rounds * 100000 + rounds * per_round);
  }
  expect_elements(d_out.download(), expected, "rounds and totals");
}

}  // namespace
